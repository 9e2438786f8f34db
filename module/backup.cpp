// Backup through the data mover: the command line, option by option, its run, and the closing
// that answers the backup client with the files that make up the backup.

#include "module/kv_modules_common.h"

#include "common/kv_logger.h"
#include "common/log_text.h"
#include "common/kv_utils_common.h"
#include "common/kv_version.h"
#include "common/shell_quote.h"
#include "module/kvfd_paths.h"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>

#include <sys/stat.h>

#include <exception>
#include <iostream>

namespace fs = boost::filesystem;
using kelvanor_common::shell_quote;

namespace {

// The data mover creates the archive and the meta file with 022; everything the process
// creates after the backup stays private to its owner.
class backup_umask {
 public:
  backup_umask() { ::umask(022); }
  backup_umask(const backup_umask&) = delete;
  backup_umask& operator=(const backup_umask&) = delete;
  ~backup_umask() { ::umask(077); }
};

const char* storage_type_name(int32_t type) {
  switch (type) {
    case 1:
      return "local-directory";
    case 2:
      return "s3";
    case 3:
      return "default";
    default:
      return nullptr;
  }
}

}  // namespace

bool KvModuleUniversal::make_backup() {
  return options_.remote_host.empty() ? make_backup_locally() : make_backup_remotely();
}

bool KvModuleUniversal::make_backup_cmd_common(std::string& command) const {
  constexpr const char* sig = "bool KvModuleUniversal::make_backup_cmd_common(std::string&)";
  using namespace kelvanor::module;
  const std::string program = std::string("cd / && ") + k_kvfd_program + " -a " + shell_quote(kvd_hash_algorithm) +
                              hash_length_flag() + " -b " + std::to_string(kvd_block_size);
  const std::string& list = options_.resource_list_file;
  if (!list.empty()) {
    if (!fs::exists(list)) {
      KvLogStream(KvLogLvl::Error) << sig << ": resource list file doesn't exist: " << list << std::endl;
      return false;
    }
    if (!fs::is_regular_file(list)) {
      KvLogStream(KvLogLvl::Error) << sig << ": resource list file is not a regular file: " << list << std::endl;
      return false;
    }
    command = program + " -c " + shell_quote(list);
  } else {
    // A directory is named by its own path too: after "cd /" a relative name such as "." would
    // mean the root file system.
    command = program + " -c " + shell_quote(options_.resource);
  }

  if (options_.parallelism != 1) command += " -p " + std::to_string(options_.parallelism);
  add_kvfd_options_to_command(command);

  // The key files are never backed up, nor what the host's restriction list names.
  std::string excluded = std::string(k_master_key) + "," + k_secret_key;
  if (options_.local_restrictions) {
    excluded += ',';
    const std::vector<std::string> restrictions = read_local_restrictions();
    for (size_t i = 0; i < restrictions.size(); ++i) {
      if (i != 0) excluded += ',';
      excluded += restrictions[i];
    }
  }
  command += " -x " + shell_quote(excluded);
  if (numeric_owner) command += " --numeric-owner";

  switch (options_.backup_type) {
    case 1:
      break;
    case 2:
    case 3:
      if (options_.unpacked_meta_file.empty()) {
        KvLogStream(KvLogLvl::Error) << sig << ": you must define reference snapshot name (-s option)" << std::endl;
        return false;
      }
      command += " -S " + shell_quote(options_.unpacked_meta_file);
      break;
    default:
      KvLogStream(KvLogLvl::Error) << sig << ": wrong backup type: " << options_.backup_type << std::endl;
      return false;
  }
  if (options_.compress != 0)
    command += " -z " + shell_quote(compress_mode_str(static_cast<unsigned int>(options_.compress)));
  if (options_.memory_threshold != 0) command += " --memory-threshold " + std::to_string(options_.memory_threshold);
  return true;
}

bool KvModuleUniversal::compose_local_backup_command(std::string& command) {
  using namespace kelvanor::module;
  if (!make_backup_cmd_common(command)) return false;
  if (options_.autonomous) {
    command += " -n " + shell_quote(archive_filename()) + " -m " + shell_quote(meta_filename());
  } else {
    command += " -M " + shell_quote(options_.media_server) + " -N " + shell_quote(options_.archive_name) + " -T " +
               shell_quote(options_.task_id) + " -s " + shell_quote(get_task_secret()) + " -m " +
               shell_quote(meta_filename());
  }
  if (options_.dgst) {
    command += " -g " + shell_quote(archive_sign_filename()) + " --passin " + k_master_key + " --sign " + k_secret_key;
  }
  if (options_.local_restrictions && fs::exists(options_.restriction_list_path))
    command += " -X " + shell_quote(options_.restriction_list_path);
  if (!add_crypto_options_to_command(command, "")) return false;
  command += " 2>&1";
  return true;
}

namespace {
constexpr const char* k_local_sig = "bool KvModuleUniversal::make_backup_locally()";
}  // namespace

bool KvModuleUniversal::make_backup_locally() {
  backup_succeeded = false;
  try {
    std::string command;
    if (!compose_local_backup_command(command)) return false;
    return run_local_backup_command(command);
  } catch (const fs::filesystem_error& error) {
    KvLogStream(KvLogLvl::Error) << k_local_sig << ": filesystem error: " << error.what() << std::endl;
  } catch (const std::exception& error) {
    KvLogStream(KvLogLvl::Error) << k_local_sig << ": exception: " << error.what() << std::endl;
  }
  return false;
}

bool KvModuleUniversal::run_local_backup_command(const std::string& command) {
  const backup_umask umask_scope;
  std::string output;
  std::string statistics;
  const bool done = run_kvfd_command(command, output, kvfd_pid, statistics);
  if (!done) {
    KvLogStream(KvLogLvl::Error) << k_local_sig << ": " << command << std::endl;
    KvLogStream(KvLogLvl::Error) << "kvfd out: " << kelvanor_common::without_final_line_breaks(output) << std::endl;
  }
  backup_succeeded = done;
  return done;
}

std::string KvModuleUniversal::file_listing_command() const {
  return std::string(kelvanor::module::k_kvfd_program) + " -l " + kelvanor_common::shell_single_quote(meta_filename()) +
         " -v 1";
}

bool KvModuleUniversal::close_backup(const bool& replica) {
  constexpr const char* sig = "bool KvModuleUniversal::close_backup(const bool&)";
  try {
    fs::remove_all(leveldb_directory_path());
    if (pack_snapshot_file() != 0) {
      KvLogStream(KvLogLvl::Error) << sig << ": can't create the main snapshot file: " << std::endl;
      return false;
    }

    const std::string main_file = options_.autonomous ? archive_filename() : snapshot_filename();
    if (options_.autonomous) {
      if (const char* storage = storage_type_name(selected_storage_type))
        std::cout << "CLIENT DEFINED STORAGE:" << storage << "@" << selected_storage_id << std::endl;
    }
    std::cout << "MAIN ARCHIVE FILENAME:" << main_file << std::endl;
    std::cout << "MAIN SNAPSHOT FILENAME:" << snapshot_filename() << std::endl;
    std::cout << "MAIN ARCHIVE SIGN FILENAME:" << archive_sign_filename() << std::endl;

    if (!replica && file_list && fs::exists(main_file)) {
      const std::string command = file_listing_command();
      std::string output;
      if (kv_utils_common::execute_command(command, output) != 0) {
        KvLogStream(KvLogLvl::Error) << sig << ": command produced error: " << command << std::endl;
        KvLogStream(KvLogLvl::Error) << "Command output start: ---------------------------------------------- "
                                     << std::endl;
        KvLogStream(KvLogLvl::Error) << kelvanor_common::without_final_line_breaks(output) << std::endl;
        KvLogStream(KvLogLvl::Error) << "Command output end ------------------------------------------------- "
                                     << std::endl;
        return false;
      }
      std::cout << "FILE LISTING START:" << std::endl;
      std::cout << output;
      std::cout << "FILE LISTING END" << std::endl;
    }

    fs::remove_all(snapshot_directory_path());
    const std::string reference = reference_snapshot_directory_path();
    if (!reference.empty() && fs::exists(reference)) {
      KvLogStream(KvLogLvl::Info) << "Remove obsolete file: " << reference << std::endl;
      fs::remove_all(reference);
    }

    if (options_.archiving && options_.archiving_supported) {
      // Archiving deletes the source: with incomplete data the source may hold the only
      // complete copy.
      if (data_incomplete)
        KvLogStream(KvLogLvl::Error) << sig << ": the data of the backup is incomplete, archiving skipped: the VM "
                                     << kelvanor::as_quoted(options_.resource) << " was kept" << std::endl;
      else
        make_archiving();
    }

    KvLogStream(KvLogLvl::Info) << "The task to make " << backup_kind_text(options_.backup_type)
                                << " backup of resource '" << options_.resource << "' completed successfully"
                                << std::endl
                                << std::endl;
    return true;
  } catch (const fs::filesystem_error& error) {
    KvLogStream(KvLogLvl::Error) << sig << ": filesystem error: " << error.what() << std::endl;
  } catch (const kelvanor_common::unsafe_shell_value& error) {
    KvLogStream(KvLogLvl::Error) << sig << ": " << error.what() << std::endl;
  }
  return false;
}

const char* backup_kind_text(uint32_t backup_type) {
  switch (backup_type) {
    case 1:
      return "a full";
    case 2:
      return "an incremental";
    case 3:
      return "a differential";
    default:
      return "";
  }
}
