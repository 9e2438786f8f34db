// Pieces of the data mover's command lines shared by backup and restore, the data mover's list
// file, and the addition of list entries to an existing archive.

#include "module/kv_modules_common.h"

#include "common/kv_logger.h"
#include "common/log_text.h"
#include "common/kv_utils_common.h"
#include "common/private_file.h"
#include "common/shell_quote.h"
#include "module/client_storage.h"
#include "module/kvfd_paths.h"

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include <exception>
#include <string_view>
#include <vector>

using kelvanor_common::shell_quote;

namespace {

constexpr const char* k_list_header = "KVFD file list:";
constexpr const char* k_list_record_info = "Adding record to kvfd file list: ";

}  // namespace

void KvModuleUniversal::init_kvfd_flags() {
  // The data mover parameters a client may pass through -e; they reach the data mover's -e in
  // this order.
  kvfd_flag_names = {"worker_parallelism", "network_parallelism", "enable_multithreading", "enable_flexible_dedup"};
}

void KvModuleUniversal::add_kvfd_options_to_command(std::string& command) const {
  std::string flags;
  for (const std::string& name : kvfd_flag_names) {
    const auto flag = kvfd_flags.find(name);
    if (flag == kvfd_flags.end()) continue;
    if (!flags.empty()) flags += ',';
    flags += name + ":" + flag->second;
  }
  if (!flags.empty()) command += " -e " + shell_quote(flags);
}

std::string KvModuleUniversal::compress_mode_str(unsigned int mode) {
  switch (mode) {
    case 1:
      return "None";
    case 2:
      return "fast";
    case 3:
      return "optimal";
    case 4:
      return "best";
    default:
      return "Wrong or deprecated compression type: " + std::to_string(mode);
  }
}

std::string KvModuleUniversal::get_task_secret() const {
  if (options_.task_id.empty()) KvLogStream(KvLogLvl::Error) << "Task ID is empty" << std::endl;
  return kelvanor::module::task_secret_path(options_.task_id);
}

std::string KvModuleUniversal::hash_length_flag() const { return kvd_hash_length == 256 ? " -2 " : " -5 "; }

bool KvModuleUniversal::add_crypto_options_to_command(std::string& command, const std::string& error_prefix) const {
  if (options_.crypto == "nocrypt") return true;
  if (options_.key_file.empty()) {
    KvLogStream(KvLogLvl::Error) << error_prefix << "you must define key file" << std::endl;
    return false;
  }
  if (!boost::filesystem::exists(options_.key_file)) {
    KvLogStream(KvLogLvl::Error) << error_prefix << "there is no key file: " << options_.key_file << std::endl;
    return false;
  }
  command += " -C " + shell_quote(options_.crypto) + " -k " + shell_quote(options_.key_file);
  return true;
}

void shield_string_for_command(std::string& text) {
  constexpr std::string_view k_shielded = " \\'\"`^*?[]{}><|;&$!()~#:@.%";
  std::string shielded;
  shielded.reserve(text.size());
  for (char c : text) {
    if (k_shielded.find(c) != std::string_view::npos) shielded += '\\';
    shielded += c;
  }
  text = std::move(shielded);
}

bool KvModuleUniversal::add_to_kvfd_list_file(const std::string& path,
                                              const std::map<std::string, std::string>& entries, bool append) {
  constexpr const char* sig =
      "bool KvModuleUniversal::add_to_kvfd_list_file(const string&, const std::map<std::__cxx11::basic_string<char>, "
      "std::__cxx11::basic_string<char> >&, bool)";
  std::vector<std::string> lines;
  if (!append) lines.emplace_back(k_list_header);
  std::string text = append ? "" : std::string(k_list_header) + "\n";
  for (const auto& [key, value] : entries) {
    lines.push_back(key + " : " + value);
    text += "   " + lines.back() + "\n";
  }
  // The list lies in the operation folder under a name anyone can foresee, and the data mover,
  // running as root, backs up whatever it names: it must be this run's own file, which no one
  // else can have changed or can read.
  using kv_utils_common::private_write;
  const private_write result = kv_utils_common::write_private_file(path, text, append);
  // The records are told once the file is there, as they go into it.
  if (result == private_write::written || result == private_write::not_written)
    for (const std::string& line : lines) KvLogStream(KvLogLvl::Info) << k_list_record_info << line << std::endl;
  switch (result) {
    case private_write::written:
      return true;
    case private_write::name_taken:
      KvLogStream(KvLogLvl::Error) << sig << ": " << "can't create kvfd list file: " << path << ": "
                                   << kv_utils_common::k_name_taken_text << std::endl;
      return false;
    case private_write::not_created:
      KvLogStream(KvLogLvl::Error) << sig << ": " << "can't create kvfd list file" << std::endl;
      return false;
    case private_write::not_written:
      // A list cut short by a full disk would give an archive that silently lacks sources.
      KvLogStream(KvLogLvl::Error) << sig << ": " << "can't write kvfd list file: " << path << std::endl;
      return false;
  }
  return false;
}

bool KvModuleUniversal::compose_append_command(std::string& command) {
  using namespace kelvanor::module;
  const std::string archive = archive_filename();
  command = "cd " + kelvanor_common::shell_single_quote(boost::filesystem::path(archive).parent_path().string()) +
            " && " + k_kvfd_program + " -a " + shell_quote(kvd_hash_algorithm) + hash_length_flag() + " -b " +
            std::to_string(kvd_block_size);
  const std::string& list = options_.resource_list_file;
  if (options_.autonomous) {
    command += " -u " + shell_quote(archive) + " --add " + shell_quote(list);
  } else {
    command += " -U " + shell_quote(options_.archive_name) + " --add " + shell_quote(list) + " -M " +
               shell_quote(options_.media_server) + " -T " + shell_quote(options_.task_id) + " -s " +
               shell_quote(get_task_secret()) + " -m " + shell_quote(meta_filename());
  }
  if (options_.dgst) {
    command += " -g " + shell_quote(archive_sign_filename()) + " --passin " + k_master_key + " --sign " + k_secret_key;
  }
  if (options_.parallelism != 1) command += " -p " + std::to_string(options_.parallelism);
  if (!add_crypto_options_to_command(command, "")) return false;
  if (options_.compress != 0)
    command += " -z " + shell_quote(compress_mode_str(static_cast<unsigned int>(options_.compress)));
  if (options_.memory_threshold != 0) command += " --memory-threshold " + std::to_string(options_.memory_threshold);
  return true;
}

bool KvModuleUniversal::append_some_special() {
  constexpr const char* sig = "bool KvModuleUniversal::append_some_special()";
  if (kvfd_list_extra.empty()) return true;
  if (options_.resource_list_file.empty()) {
    KvLogStream(KvLogLvl::Debug) << sig << ": options_.resource_list_file is empty" << std::endl;
    return false;
  }
  if (!add_to_kvfd_list_file(options_.resource_list_file, kvfd_list_extra, false)) return false;

  std::string command;
  try {
    if (!compose_append_command(command)) return false;
  } catch (const std::exception& error) {
    KvLogStream(KvLogLvl::Error) << sig << ": " << error.what() << std::endl;
    return false;
  }
  KvLogStream(KvLogLvl::Info) << sig << ": " << "Execute command:" << command << std::endl;
  std::string output;
  if (kv_utils_common::execute_command(command, output) != 0) {
    KvLogStream(KvLogLvl::Error) << "base_backup command: " << command << std::endl;
    KvLogStream(KvLogLvl::Error) << "base_backup command result: " << kelvanor_common::without_final_line_breaks(output) << std::endl;
    return false;
  }
  return true;
}
