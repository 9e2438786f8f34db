// Restore through the data mover: the restore directory, the restore command line, its run and
// the closing of a restore.

#include "module/kv_modules_common.h"

#include "common/kv_logger.h"
#include "common/log_text.h"
#include "common/kv_utils_common.h"
#include "common/private_file.h"
#include "common/kv_version.h"
#include "common/shell_quote.h"
#include "module/kvfd_paths.h"

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include <exception>
#include <iomanip>
#include <sstream>

namespace fs = boost::filesystem;
using kelvanor_common::shell_quote;

namespace {

constexpr const char* k_make_restore_sig = "bool KvModuleUniversal::make_restore(const bool&)";
constexpr int k_restore_failed = 7;
constexpr int k_local_directory = 1;  // client-defined storage types
constexpr int k_default_storage = 3;

// The name of the restore directory of an autonomous archive: the file name without its
// extension, and of a name with "_full_" in it (in any case) only the part after it.
std::string autonomous_restore_name(const std::string& archive_name) {
  const std::string stem = fs::path(archive_name).stem().string();
  constexpr std::string_view k_full = "_full_";
  const std::string lower = boost::algorithm::to_lower_copy(stem);
  const size_t found = lower.find(k_full);
  if (found == std::string::npos) return stem;
  const size_t start = found + k_full.size();
  const size_t next = lower.find(k_full, start);
  return stem.substr(start, next == std::string::npos ? std::string::npos : next - start);
}

}  // namespace

int KvModuleUniversal::define_restore_directory() {
  constexpr const char* sig = "virtual int KvModuleUniversal::define_restore_directory()";
  try {
    std::string& directory = options_.tmp_operation_directory;
    if (!options_.archive_to_patch.empty()) {
      directory += "/" + options_.archive_to_patch + ".rest";
      if (!fs::exists(directory)) {
        KvLogStream(KvLogLvl::Error) << sig << ": catalog 'archive to patch' doesn't exist: " << directory
                                     << std::endl;
        return 1;
      }
      kv_utils_common::make_private_directory(directory);
      restore_directory = directory;
      return 0;
    }
    const std::string name = options_.autonomous && client_defined_storages.empty()
                                 ? autonomous_restore_name(options_.archive_name)
                                 : options_.record_id;
    directory += "/" + name + ".rest";
    // A name anyone can foresee, in a folder others may write to: the data mover unpacks the
    // images there and dd reads them back, so a link or another user's folder planted under it
    // is refused. This run's own folder of an earlier restore of the chain is used again.
    fs::create_directories(fs::path(directory).parent_path());
    kv_utils_common::make_private_directory(directory);
    restore_directory = directory;
    return 0;
  } catch (const fs::filesystem_error& error) {
    KvLogStream(KvLogLvl::Error) << sig << ": filesystem error: " << error.what() << std::endl;
  } catch (const std::exception& error) {
    KvLogStream(KvLogLvl::Error) << sig << ": exception: " << error.what() << std::endl;
  }
  return 1;
}

bool KvModuleUniversal::compose_restore_command(const bool& replica, std::string& command) {
  command = std::string(kelvanor::module::k_kvfd_program) + " -a " + shell_quote(kvd_hash_algorithm) +
            hash_length_flag() + " -b " + std::to_string(kvd_block_size);
  if (options_.autonomous && !client_defined_storages.empty()) {
    ClientDefinedArchiveInfo archive;
    if (!split_client_defined_archive_name(options_.archive_name, archive) ||
        (archive.type != k_local_directory && archive.type != k_default_storage)) {
      KvLogStream(KvLogLvl::Error) << k_make_restore_sig << ": unsupported client defined storage here: "
                                   << options_.archive_name << std::endl;
      return false;
    }
    if (archive.type == k_default_storage) {
      KvLogStream(KvLogLvl::Info) << "Module default storage. Skipping kvfd run." << std::endl;
      command.clear();
      return true;
    }
    options_.archive_name = archive.name;
    KvLogStream(KvLogLvl::Info) << "Rename restored object to: " << options_.archive_name << std::endl;
  }
  if (options_.autonomous) {
    command += " -r " + shell_quote(options_.archive_name);
  } else {
    command += " -R " + shell_quote(options_.record_id) + " -M " + shell_quote(options_.media_server) + " -T " +
               shell_quote(options_.task_id) + " -s " + shell_quote(get_task_secret()) + " -m " +
               shell_quote(options_.unpacked_meta_file);
  }
  command += " -d " + shell_quote(options_.tmp_operation_directory);
  if (!add_crypto_options_to_command(command, std::string(k_make_restore_sig) + ": ")) return false;
  if (replica) command += " -E ";
  if (options_.parallelism != 1) command += " -p " + std::to_string(options_.parallelism);
  if (!options_.granular_list.empty()) command += " -f " + shell_quote(options_.granular_list);
  if (options_.set_to_numeric) command += " --set-to-numeric";
  add_kvfd_options_to_command(command);
  command += " 2>&1";
  return true;
}

bool KvModuleUniversal::make_restore(const bool& replica) {
  const char* sig = k_make_restore_sig;
  try {
    std::string command;
    if (!compose_restore_command(replica, command)) return false;
    return command.empty() || run_restore_command(replica, command);
  } catch (const fs::filesystem_error& error) {
    KvLogStream(KvLogLvl::Error) << sig << ": filesystem error: " << error.what() << std::endl;
  } catch (const std::exception& error) {
    KvLogStream(KvLogLvl::Error) << sig << ": std exception: " << error.what() << std::endl;
  }
  return false;
}

bool KvModuleUniversal::run_restore_command(const bool& replica, const std::string& command) {
  std::string output;
  std::string statistics;
  const bool done = run_kvfd_command(command, output, kvfd_pid, statistics);
  if (!done) {
    KvLogStream(KvLogLvl::Error) << k_make_restore_sig << ": " << command << std::endl;
    KvLogStream(KvLogLvl::Error) << "kvfd out: " << kelvanor_common::without_final_line_breaks(output) << std::endl;
  } else if (!replica) {
    KvLogStream(KvLogLvl::Info) << "The archive '" << options_.record_id << "' has been unpacked successfully"
                                << std::endl;
  }
  return done;
}

void KvModuleUniversal::close_restore() {
  constexpr const char* sig = "virtual void KvModuleUniversal::close_restore()";
  try {
    remove_reference_snapshot_directory();
    // Only the directory this run chose for the restore: without it the operation directory is
    // still the client's own.
    if (options_.operation == Restore && last && remove_tmp_dir && !restore_directory.empty()) {
      KvLogStream(KvLogLvl::Info) << "Remove temporary operation directory: " << restore_directory << std::endl;
      fs::remove_all(restore_directory);
    }
  } catch (const fs::filesystem_error& error) {
    KvLogStream(KvLogLvl::Error) << sig << ": boost::filesystem: " << error.what() << std::endl;
  } catch (const std::exception& error) {
    KvLogStream(KvLogLvl::Error) << sig << ": exception: " << error.what() << std::endl;
  }
}

int KvModuleUniversal::check_file_to_restore_for_sparse(const std::string& path) const {
  constexpr const char* sig = "int KvModuleUniversal::check_file_to_restore_for_sparse(const string&) const";
  bool sparse = false;
  std::string error;
  if (!kv_utils_common::is_sparse_file(path, sparse, error)) {
    KvLogStream(KvLogLvl::Warning) << sig << ": unable to check sparse status of " << kelvanor::as_quoted(path)
                                   << " file, error: " << error << std::endl;
    return 0;
  }
  if (!sparse) return 0;

  const fs::path directory(options_.tmp_operation_directory);
  std::string share = "Unknown";
  boost::system::error_code space_error;
  const fs::space_info space = fs::space(directory, space_error);
  if (space_error) {
    KvLogStream(KvLogLvl::Warning) << sig << ": unable to get space info of " << directory
                                   << ", error: " << space_error.message() << std::endl;
  } else if (space.capacity != 0) {
    std::ostringstream text;
    text << std::fixed
         << static_cast<float>(static_cast<double>(space.free) / static_cast<double>(space.capacity) * 100) << "%";
    share = text.str();
  }
  KvLogStream(KvLogLvl::Error) << sig << ": file " << kelvanor::as_quoted(path)
                               << " is a sparse file, i.e. it doesn't contain all the data required for restore."
                               << " Probably it is not enough free space in a " << directory
                               << " folder. Free space is: " << share << std::endl;
  return k_restore_failed;
}
