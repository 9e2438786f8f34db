// Client-defined storages: the storage methods a task names in its enciphered methods file, the
// switch of the run to the chosen storage, archive names that carry their storage, and the JSON
// lists of storages of the deletion and verification operations.

#include "module/client_storage.h"

#include "common/kv_logger.h"
#include "crypto/crypto_hash.h"
#include "crypto/ctr.h"
#include "crypto/kuznyechik.h"
#include "crypto/string_crypt.h"
#include "module/kv_modules_common.h"

#include <boost/filesystem/operations.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <limits>
#include <new>
#include <vector>

namespace kelvanor::module {

namespace {

constexpr const char* k_tasks_directory = "/opt/kelvanor/var/tasks/";

std::string& tasks_directory_override() {
  static std::string directory;
  return directory;
}

}  // namespace

std::string tasks_directory() {
  const std::string& directory = tasks_directory_override();
  return directory.empty() ? k_tasks_directory : directory;
}

std::string task_secret_path(const std::string& task_id) { return tasks_directory() + "/task_secret_" + task_id; }

std::string client_defined_storages_path(const std::string& task_id) {
  return tasks_directory() + task_id + ".client_defined_storages";
}

std::string client_defined_storages_cipher(std::string_view data, const std::string& secret) {
  cppcrypto::ctr mode(cppcrypto::kuznyechik{});
  std::vector<unsigned char> key(mode.keysize() / 8, 0);
  std::copy_n(secret.begin(), std::min(secret.size(), key.size()), key.begin());
  mode.init(key.data(), key.size(), reinterpret_cast<const unsigned char*>(kv_utils_common::server::k_pass_phrase),
            kv_utils_common::server::k_pass_phrase_iv_length);
  std::string out(data.size(), '\0');
  mode.decrypt(reinterpret_cast<const unsigned char*>(data.data()), data.size(),
               reinterpret_cast<unsigned char*>(out.data()));
  cppcrypto::zero_memory(key.data(), key.size());
  return out;
}

void set_tasks_directory_for_tests(const std::string& directory) {
  tasks_directory_override() = directory.empty() || directory.back() == '/' ? directory : directory + "/";
}

}  // namespace kelvanor::module

namespace {

namespace fs = boost::filesystem;

constexpr const char* k_load_signature = "bool KvModuleUniversal::load_client_defined_storages()";
constexpr const char* k_record_signature =
    "static bool KvModuleUniversal::split_client_defined_storage_record(const string&, "
    "KvModuleUniversal::ClientDefinedStorageInfo&)";
constexpr const char* k_prepare_signature = "bool KvModuleUniversal::client_defined_storage_prepare()";
constexpr const char* k_parse_json_signature =
    "bool KvModuleUniversal::parse_json_of_client_defined_storage(const string&, "
    "std::vector<std::pair<int, std::__cxx11::basic_string<char> > >&)";

constexpr int k_local_directory = 1;
constexpr int k_s3 = 2;
constexpr int k_default_storage = 3;

constexpr const char* k_local_directory_name = "local-directory";
constexpr const char* k_s3_name = "s3";

std::string without_double_quotes(std::string text) {
  std::erase(text, '"');
  return text;
}

std::string json_text_without_quotes(const boost::json::value& value) {
  return without_double_quotes(boost::json::serialize(value));
}

// What an error line may tell about a storage record: its id and its type. The rest (an s3
// description holds the store's secret key) never reaches the log.
std::string record_summary(const boost::json::object& record) {
  std::string id = "none";
  if (const boost::json::value* value = record.if_contains("id"))
    id = value->is_int64() || value->is_uint64() ? boost::json::serialize(*value) : "invalid";
  std::string type = "none";
  if (const boost::json::value* method = record.if_contains("method")) {
    if (!method->is_object())
      type = "invalid";
    else if (method->as_object().empty())
      type = "default";
    else {
      type = std::string(method->as_object().begin()->key());
      for (const auto& member : method->as_object()) {
        if (member.key() == k_local_directory_name || member.key() == k_s3_name) {
          type = std::string(member.key());
          break;
        }
      }
    }
  }
  return "id: " + id + ", type: " + type;
}

// True for the name of a member that holds a secret of a store: its access key or key id, its
// secret key, a session token, a password, credentials. Case, '_' and '-' do not count, so
// "secret_key", "SecretAccessKey" and "aws-session-token" are all found.
bool names_a_secret(std::string_view name) {
  std::string plain;
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte)) plain += static_cast<char>(std::tolower(byte));
  }
  static constexpr std::string_view k_secret_words[] = {"secret", "pass", "token", "credential", "signature"};
  return plain.ends_with("key") || plain.ends_with("keyid") ||
         std::any_of(std::begin(k_secret_words), std::end(k_secret_words),
                     [&plain](std::string_view word) { return plain.find(word) != std::string::npos; });
}

bool is_name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-'; }

size_t skip_blanks(const std::string& text, size_t pos) {
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
  return pos;
}

// A storage as a deletion list gives it, for the log: JSON text with its double quotes removed
// ("{\access_key\:\AK\,\region\:\ru\}", where each '\' is what is left of an escaped quote) or
// name=value pairs, with the value of every member whose name holds a secret replaced by the
// mask, and everything else as it stands.
std::string masked_storage(std::string text) {
  static constexpr std::string_view k_mask = "***";
  static constexpr size_t npos = std::string::npos;
  size_t pos = 0;
  while (pos < text.size()) {
    if (!is_name_char(text[pos])) {
      ++pos;
      continue;
    }
    const size_t name_begin = pos;
    while (pos < text.size() && is_name_char(text[pos])) ++pos;
    size_t at = pos;
    if (at < text.size() && text[at] == '\\') ++at;  // the rest of the name's closing quote
    at = skip_blanks(text, at);
    if (at >= text.size() || (text[at] != ':' && text[at] != '=') ||
        !names_a_secret(std::string_view(text).substr(name_begin, pos - name_begin)))
      continue;
    at = skip_blanks(text, at + 1);
    size_t end = at;
    if (at < text.size() && text[at] == '\\') {
      // A string: it ends at what is left of its closing quote, before the next member or the end.
      end = ++at;
      while (end < text.size() &&
             !(text[end] == '\\' && (end + 1 == text.size() || std::string_view(",}]").find(text[end + 1]) != npos)))
        ++end;
    } else {
      end = std::min(text.find_first_of(",;&}] \t\r\n", at), text.size());
    }
    text.replace(at, end - at, k_mask);
    pos = at + k_mask.size();
  }
  return text;
}

// The task's secret, the first line of its secret file. An empty result means it could not be
// had; the reason is logged.
bool read_task_secret(const std::string& path, std::string& secret) {
  boost::system::error_code error;
  if (!fs::exists(path, error)) {
    KvLogStream(KvLogLvl::Error) << k_load_signature << ": task secret file doesn't exist: " << path << std::endl;
    return false;
  }
  std::ifstream file(path);
  if (!file.is_open()) {
    KvLogStream(KvLogLvl::Error) << k_load_signature << ": can't open task secret file: " << path << std::endl;
    return false;
  }
  std::getline(file, secret);
  if (secret.empty()) {
    KvLogStream(KvLogLvl::Error) << k_load_signature << ": task secret is empty" << std::endl;
    return false;
  }
  return true;
}

}  // namespace

// Once the task has a methods file, a backup must go where the file says or not run at all: a
// file that cannot be read or deciphered stops start-up instead of letting the backup go to
// the media server unnoticed.
bool KvModuleUniversal::load_client_defined_storages() {
  try {
    if (options_.task_id.empty()) {
      KvLogStream(KvLogLvl::Debug) << "No task id -  client defined storages loading skipped" << std::endl;
      return true;
    }
    KvLogStream(KvLogLvl::Debug) << "Check method of access to client defined storage" << std::endl;

    const std::string methods_path = kelvanor::module::client_defined_storages_path(options_.task_id);
    if (!fs::exists(methods_path)) return true;
    const uintmax_t size = fs::file_size(methods_path);
    KvLogStream(KvLogLvl::Debug) << "Found the file of methods: " << methods_path << ", size: " << size << std::endl;

    std::string secret;
    if (!read_task_secret(kelvanor::module::task_secret_path(options_.task_id), secret)) return false;

    std::ifstream file(methods_path, std::ios::binary);
    if (!file.is_open()) {
      KvLogStream(KvLogLvl::Error) << k_load_signature << ": can't open: " << methods_path << std::endl;
      return false;
    }
    std::string data(size, '\0');
    file.read(data.data(), static_cast<std::streamsize>(size));
    if (static_cast<uintmax_t>(file.gcount()) != size) {
      KvLogStream(KvLogLvl::Error) << k_load_signature << ": read error from " << methods_path << std::endl;
      return false;
    }

    std::string plain = kelvanor::module::client_defined_storages_cipher(data, secret);
    cppcrypto::zero_memory(secret.data(), secret.size());
    plain.resize(std::min(plain.find('\0'), plain.size()));

    size_t start = 0;
    while (start <= plain.size()) {
      const size_t end = std::min(plain.find('\n', start), plain.size());
      const std::string record = plain.substr(start, end - start);
      ClientDefinedStorageInfo info;
      if (!record.empty() && split_client_defined_storage_record(record, info))
        client_defined_storages.push_back(std::move(info));
      start = end + 1;
    }

    // The client asked for a storage; a file without one record (a wrong secret, a damaged file)
    // must not let the backup go to the media server instead.
    if (client_defined_storages.empty()) {
      KvLogStream(KvLogLvl::Error) << k_load_signature << ": no storage record could be read from " << methods_path
                                   << std::endl;
      return false;
    }
    KvLogStream(KvLogLvl::Debug) << "CLient defined methods of access to the storage: "
                                 << client_defined_storages.size() << std::endl;
    return true;
  } catch (const std::exception& e) {
    KvLogStream(KvLogLvl::Error) << k_load_signature << ": " << e.what() << std::endl;
    return false;
  }
}

bool KvModuleUniversal::split_client_defined_storage_record(const std::string& record,
                                                            ClientDefinedStorageInfo& info) {
  boost::json::value parsed;
  try {
    boost::system::error_code error;
    parsed = boost::json::parse(record, error);
    if (error) {
      KvLogStream(KvLogLvl::Error) << k_record_signature << ": boost::json: " << error.message() << std::endl;
      return false;
    }
  } catch (const std::bad_alloc& e) {
    KvLogStream(KvLogLvl::Error) << k_record_signature << ": json parsing failed: " << e.what() << std::endl;
    return false;
  } catch (const std::exception& e) {
    KvLogStream(KvLogLvl::Error) << k_record_signature << ": " << e.what() << std::endl;
    return false;
  }

  const boost::json::object* object = parsed.if_object();
  if (object == nullptr) {
    KvLogStream(KvLogLvl::Error) << k_record_signature << ": json value is not an object" << std::endl;
    return false;
  }
  const boost::json::value* id = object->if_contains("id");
  const boost::json::value* method = object->if_contains("method");
  if (id == nullptr || method == nullptr) {
    KvLogStream(KvLogLvl::Error) << k_record_signature
                                 << ": storage record format is invalid: " << record_summary(*object) << std::endl;
    return false;
  }
  // An id outside the range of int is refused rather than cut to another storage's id.
  const bool id_fits = (id->is_int64() && id->get_int64() >= std::numeric_limits<int>::min() &&
                        id->get_int64() <= std::numeric_limits<int>::max()) ||
                       (id->is_uint64() && id->get_uint64() <= std::numeric_limits<int>::max());
  if (!id_fits) {
    KvLogStream(KvLogLvl::Error) << k_record_signature << ": id is not a number: " << record_summary(*object)
                                 << std::endl;
    return false;
  }
  const int storage_id = id->is_int64() ? static_cast<int>(id->get_int64()) : static_cast<int>(id->get_uint64());

  const boost::json::object* methods = method->if_object();
  if (methods == nullptr) {
    KvLogStream(KvLogLvl::Error) << k_record_signature << ": method is not an object" << std::endl;
    return false;
  }
  if (methods->empty()) {
    info = ClientDefinedStorageInfo{k_default_storage, storage_id, ""};
    return true;
  }
  for (const auto& member : *methods) {
    const std::string key = json_text_without_quotes(boost::json::value(member.key()));
    if (key == k_local_directory_name) {
      info = ClientDefinedStorageInfo{k_local_directory, storage_id, json_text_without_quotes(member.value())};
      return true;
    }
    if (key == k_s3_name) {
      info = ClientDefinedStorageInfo{k_s3, storage_id, boost::json::serialize(member.value())};
      return true;
    }
  }
  KvLogStream(KvLogLvl::Error) << k_record_signature << ": can't parse client defined storage json string: "
                               << record_summary(*object) << std::endl;
  return false;
}

bool KvModuleUniversal::client_defined_storage_prepare() {
  if (client_defined_storages.empty()) {
    KvLogStream(KvLogLvl::Warning) << k_prepare_signature << "No client defined storage" << std::endl;
    return true;
  }
  for (const ClientDefinedStorageInfo& storage : client_defined_storages) {
    if (!check_supported_client_defined_storage(storage.type)) {
      KvLogStream(KvLogLvl::Info) << "The module doesn't support client defined storage type: " << storage.type
                                  << std::endl;
      return false;
    }
    selected_storage_type = storage.type;
    selected_storage_id = storage.id;

    if (storage.type == k_default_storage) {
      KvLogStream(KvLogLvl::Info) << k_prepare_signature << " Using module default storage." << std::endl;
      options_.autonomous = true;
      return true;
    }
    if (storage.type != k_local_directory) {
      KvLogStream(KvLogLvl::Error) << k_prepare_signature << ": unsupported client defined storage type: "
                                   << storage.type << std::endl;
      return false;
    }

    const std::string& directory = storage.value;
    KvLogStream(KvLogLvl::Info) << "Use client defined storage '" << k_local_directory_name << "'" << "@" << directory
                                << std::endl;
    boost::system::error_code error;
    if (!fs::exists(directory, error)) {
      KvLogStream(KvLogLvl::Error) << directory << " doen't exist" << std::endl;
      continue;
    }
    if (!fs::is_directory(directory, error)) {
      KvLogStream(KvLogLvl::Error) << directory << " is not a directory" << std::endl;
      continue;
    }
    if (options_.operation != Restore) options_.tmp_operation_directory = directory;
    if (!options_.autonomous_supported) {
      KvLogStream(KvLogLvl::Error) << "To use client defined storage the module MUST support autonomous mode"
                                   << std::endl;
      return false;
    }
    options_.autonomous = true;

    ClientDefinedArchiveInfo archive;
    switch (options_.operation) {
      case Backup:
        if (!options_.remote_host.empty()) {
          options_.remote_host.clear();
          KvLogStream(KvLogLvl::Info) << "Unable to use remote backup host while you use client defined storage"
                                      << std::endl;
        }
        if (!options_.reference_snapshot.empty() &&
            split_client_defined_archive_name(options_.reference_snapshot, archive)) {
          options_.reference_snapshot = archive.name;
          KvLogStream(KvLogLvl::Info) << "Rename reference snapshot to: " << options_.reference_snapshot << std::endl;
        }
        return true;
      case Restore:
        if (!options_.meta_file.empty() && split_client_defined_archive_name(options_.meta_file, archive)) {
          options_.meta_file = archive.name;
          KvLogStream(KvLogLvl::Info) << "Rename snapshot to: " << options_.meta_file << std::endl;
        }
        return true;
      case DeleteFromClientDefinedStorage:
      case VerifyInClientDefinedStorage:
        return true;
      default:
        KvLogStream(KvLogLvl::Info) << k_prepare_signature << ", line: " << 960
                                    << ": unsupported operation: " << static_cast<uint32_t>(options_.operation)
                                    << std::endl;
        return false;
    }
  }
  KvLogStream(KvLogLvl::Error) << "There is no good client defined storage" << std::endl;
  return false;
}

// A module accepts no client-defined storage unless it says so.
bool KvModuleUniversal::check_supported_client_defined_storage(int) { return false; }

bool KvModuleUniversal::split_client_defined_archive_name(const std::string& name,
                                                          ClientDefinedArchiveInfo& info) const {
  static constexpr std::pair<std::string_view, int> k_prefixes[] = {
      {k_local_directory_name, k_local_directory}, {"default", k_default_storage}, {k_s3_name, k_s3}};
  for (const auto& [prefix, type] : k_prefixes) {
    if (!name.starts_with(prefix)) continue;
    // One separator of any kind, then the id.
    if (name.size() <= prefix.size() + 1) return false;
    const char* const digits = name.data() + prefix.size() + 1;
    const char* const end = name.data() + name.size();
    int id = 0;
    const auto [after_id, error] = std::from_chars(digits, end, id);
    if (error != std::errc()) return false;
    const size_t at = name.find('@', static_cast<size_t>(after_id - name.data()));
    if (at == std::string::npos || at + 1 == name.size()) return false;
    info.type = type;
    info.id = id;
    info.name = name.substr(at + 1);
    return true;
  }
  return false;
}

bool KvModuleUniversal::parse_json_of_client_defined_storage(const std::string& json,
                                                             std::vector<std::pair<int, std::string>>& entries) {
  boost::json::value parsed;
  try {
    parsed = boost::json::parse(json);
  } catch (const std::bad_alloc& e) {
    KvLogStream(KvLogLvl::Error) << k_parse_json_signature << ": json parsing failed: " << e.what() << std::endl;
    return false;
  } catch (const boost::system::system_error& e) {
    // The error's own text, without the parser's source location that what() adds.
    KvLogStream(KvLogLvl::Error) << k_parse_json_signature << ": exception: " << e.code().message() << std::endl;
    return false;
  } catch (const std::exception& e) {
    KvLogStream(KvLogLvl::Error) << k_parse_json_signature << ": exception: " << e.what() << std::endl;
    return false;
  }
  const boost::json::object* object = parsed.if_object();
  if (object == nullptr) {
    KvLogStream(KvLogLvl::Error) << k_parse_json_signature << ": json value is not an object" << std::endl;
    return false;
  }
  if (object->empty()) {
    entries.emplace_back(k_default_storage, "");
    return true;
  }
  // The keys carry no meaning; each value is a method name, one separator and the storage's
  // rest. A value with nothing after the separator names no storage and is refused like any
  // other.
  const size_t local_rest = std::string_view(k_local_directory_name).size() + 1;
  const size_t s3_rest = std::string_view(k_s3_name).size() + 1;
  for (const auto& member : *object) {
    const std::string key = json_text_without_quotes(boost::json::value(member.key()));
    const std::string value = json_text_without_quotes(member.value());
    KvLogStream(KvLogLvl::Debug) << "Key: " << key << ", value: " << masked_storage(value) << std::endl;
    if (value.empty()) continue;
    if (value.starts_with(k_local_directory_name) && value.size() > local_rest)
      entries.emplace_back(k_local_directory, value.substr(local_rest));
    else if (value.starts_with(k_s3_name) && value.size() > s3_rest)
      entries.emplace_back(k_s3, value.substr(s3_rest));
    else
      KvLogStream(KvLogLvl::Error) << k_parse_json_signature << ": wrong client defined storage type here: "
                                   << masked_storage(value) << std::endl;
  }
  return true;
}

bool KvModuleUniversal::delete_from_client_defined_storage(std::vector<std::pair<int, std::string>> entries) {
  KvLogStream(KvLogLvl::Warning) << "The module doesn't support deletion from client defined storage" << std::endl;
  for (const auto& [type, rest] : entries)
    KvLogStream(KvLogLvl::Warning) << "Type: " << type << " " << masked_storage(rest) << std::endl;
  return true;
}
