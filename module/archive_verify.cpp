// Verification of an archive in a client-defined local directory against the electronic
// signatures the backup client supplies: the data mover checks the archive, OpenSSL the meta file.

#include "common/kv_logger.h"
#include "module/client_storage.h"
#include "module/host_block_devices.h"
#include "module/kv_modules_common.h"

#include <boost/filesystem/operations.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iostream>
#include <new>

namespace {

constexpr const char* k_parse_esign_signature =
    "virtual bool KvModuleUniversal::parse_esign_json(const string&, std::string&, std::string&, std::string&)";
constexpr const char* k_write_esign_signature = "bool KvModuleUniversal::write_esign(const string&, const string&)";
constexpr const char* k_check_signature =
    "bool KvModuleUniversal::check_filename_by_esing(const string&, const string&, const string&, const string&, bool)";
constexpr const char* k_verify_signature = "virtual bool KvModuleUniversal::verify_in_client_defined_storage()";

constexpr int k_local_directory = 1;

std::string without_quotes(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
  return text;
}

// Digest names go into the OpenSSL command unquoted, so only plain names are accepted.
bool is_plain_digest_name(const std::string& name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return std::isalnum(c) != 0 || c == '-' || c == '_';
  });
}

void remove_signature_file(const std::string& path) {
  boost::system::error_code ignored;
  boost::filesystem::remove(path, ignored);
  KvLogStream(KvLogLvl::Debug) << "Remove obsoleted e-sign " << path << std::endl;
}

}  // namespace

bool KvModuleUniversal::parse_esign_json(const std::string& json, std::string& archive_name, std::string& archive_sign,
                                         std::string& snapshot_sign) {
  boost::json::value parsed;
  try {
    boost::system::error_code error;
    parsed = boost::json::parse(json, error);
    if (error) {
      KvLogStream(KvLogLvl::Error) << k_parse_esign_signature << ": " << error.message() << std::endl;
      return false;
    }
  } catch (const std::bad_alloc& e) {
    KvLogStream(KvLogLvl::Error) << k_parse_esign_signature << ": json parsing failed: " << e.what() << std::endl;
    return false;
  } catch (const std::exception& e) {
    KvLogStream(KvLogLvl::Error) << k_parse_esign_signature << ": " << e.what() << std::endl;
    return false;
  }
  if (!parsed.is_object()) {
    KvLogStream(KvLogLvl::Error) << k_parse_esign_signature << ": json value is not an object" << std::endl;
    return false;
  }
  if (parsed.as_object().empty()) {
    KvLogStream(KvLogLvl::Error) << k_parse_esign_signature << ": json object value is empty" << std::endl;
    return false;
  }
  for (const auto& member : parsed.as_object()) {
    const std::string key = without_quotes(std::string(member.key()));
    const std::string value = without_quotes(boost::json::serialize(member.value()));
    if (key == "archive_name")
      archive_name = value;
    else if (key == "archive_sign")
      archive_sign = value;
    else if (key == "snapshot_sign")
      snapshot_sign = value;
  }
  return true;
}

bool KvModuleUniversal::write_esign(const std::string& hex_signature, const std::string& path) {
  try {
    std::string bytes;
    for (size_t at = 0; at + 2 <= hex_signature.size(); at += 2) {
      unsigned value = 0;
      const char* const begin = hex_signature.data() + at;
      const auto [after, error] = std::from_chars(begin, begin + 2, value, 16);
      // A pair that is not two hex digits is skipped rather than read as a shorter number.
      if (error != std::errc() || after != begin + 2) continue;
      bytes += static_cast<char>(value & 0xFFu);
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
      KvLogStream(KvLogLvl::Error) << k_write_esign_signature << ": can't create: " << path << std::endl;
      return false;
    }
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) {
      KvLogStream(KvLogLvl::Error) << k_write_esign_signature << ": can't create: " << path << std::endl;
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    KvLogStream(KvLogLvl::Error) << k_write_esign_signature << ": " << e.what() << std::endl;
    return false;
  }
}

bool KvModuleUniversal::check_filename_by_esing(const std::string& public_key, const std::string& hash_name,
                                                const std::string& signature_file, const std::string& target_file,
                                                bool meta) {
  using kelvanor_common::shell_single_quote;
  try {
    KvLogStream(KvLogLvl::Debug) << "Verify the file: " << target_file << " by e-sing located in " << signature_file
                                 << ", public key: " << public_key << std::endl;
    std::string command;
    if (!meta) {
      command = "/opt/kelvanor/bin/kvfd -n " + shell_single_quote(target_file) + " -g " + shell_single_quote(signature_file) +
                " --verify --public-key " + shell_single_quote(public_key);
    } else {
      if (!is_plain_digest_name(hash_name)) {
        KvLogStream(KvLogLvl::Error) << k_check_signature << ": wrong digest name: " << hash_name << std::endl;
        return false;
      }
      command = "/usr/bin/openssl dgst -signature " + shell_single_quote(signature_file) + " -" + hash_name + " -verify " +
                shell_single_quote(public_key) + " " + shell_single_quote(target_file);
    }
    std::string output;
    if (run_host_command(command, output) != 0) {
      KvLogStream(KvLogLvl::Error) << ": Verification of: '" << target_file << "': [ failed ]" << std::endl;
      return false;
    }
    KvLogStream(KvLogLvl::Info) << "Verification of: '" << target_file << "': [ ok ]" << std::endl;
    return true;
  } catch (const std::exception& e) {
    KvLogStream(KvLogLvl::Error) << k_check_signature << ": " << e.what() << std::endl;
    return false;
  }
}

bool KvModuleUniversal::verify_in_client_defined_storage() {
  std::string archive_name;
  std::string archive_sign;
  std::string snapshot_sign;
  if (!parse_esign_json(options_.esign, archive_name, archive_sign, snapshot_sign))
    KvLogStream(KvLogLvl::Error) << k_verify_signature << ": can't parse json: " << options_.esign << std::endl;

  ClientDefinedArchiveInfo archive;
  if (!split_client_defined_archive_name(archive_name, archive) || archive.type != k_local_directory) {
    KvLogStream(KvLogLvl::Error) << k_verify_signature << ": unsupported client defined storage here: "
                                 << archive_name << std::endl;
    return false;
  }

  const std::string base = kelvanor::module::tasks_directory() + "task_" + options_.task_id;
  const std::string archive_sign_file = base + ".archive.sign";
  const std::string snapshot_sign_file = base + ".snapshot.sign";
  if (!write_esign(archive_sign, archive_sign_file)) return false;
  KvLogStream(KvLogLvl::Debug) << "Create e-sign " << archive_sign_file << std::endl;
  if (!write_esign(snapshot_sign, snapshot_sign_file)) {
    remove_signature_file(archive_sign_file);
    return false;
  }
  KvLogStream(KvLogLvl::Debug) << "Create e-sign " << snapshot_sign_file << std::endl;

  // A snapshot file is checked by the meta file it carries.
  const std::string& meta_file = options_.unpacked_meta_file.empty() ? options_.meta_file : options_.unpacked_meta_file;
  // Both checks run, so the log tells about each file even when the first one fails.
  const bool archive_ok =
      check_filename_by_esing(options_.key_file, options_.sign_hash, archive_sign_file, archive.name, false);
  const bool meta_ok =
      check_filename_by_esing(options_.key_file, options_.sign_hash, snapshot_sign_file, meta_file, true);

  remove_signature_file(archive_sign_file);
  remove_signature_file(snapshot_sign_file);

  std::cout << "VERIFICATION RESULT:" << (archive_ok && meta_ok ? "Trusted" : "Wrong status") << std::endl;
  return true;
}
