#include "module/kv_modules_common.h"

#include "common/kv_logger.h"

#include <boost/algorithm/string/split.hpp>
#include <boost/filesystem/operations.hpp>

#include <exception>

KvModuleUniversal::KvModuleUniversal(const KvModuleOptions& options) : options_(options) { init_kvfd_flags(); }

KvModuleUniversal::~KvModuleUniversal() {
  // The default signal dispositions come back before anything the handlers touch is torn down.
  signal_handler.reset();
}

bool KvModuleUniversal::find_special_param(const std::string& key, std::string& value) const {
  auto it = special_params.find(key);
  if (it == special_params.end()) return false;
  value = it->second;
  return !value.empty();
}

bool KvModuleUniversal::has_special_param_passed_from_client(const std::string& key) const {
  return special_params.contains(key);
}

void KvModuleUniversal::list_restore_parameters() {}

void KvModuleUniversal::load_custom_module_parameters() {}

void KvModuleUniversal::handle_shutdown_signal() {
  shutdown_requested = true;
  switch (options_.operation) {
    case Backup:
    case BackupList:
    case CreateReplica:
      // Lets the concrete module give back what it attached for the backup.
      (void)release_resource_after_backup();
      break;
    case ApplyReplica:
    case DeleteFromClientDefinedStorage:
    case VerifyInClientDefinedStorage:
      remove_reference_snapshot_directory();
      break;
    case Restore:
      // Only the directory this run chose for the restore: before it is chosen, the operation
      // directory is still the client's own.
      if (remove_tmp_dir && !restore_directory.empty()) {
        KvLogStream(KvLogLvl::Info) << "Remove temporary operation directory: " << restore_directory << std::endl;
        boost::system::error_code error;
        boost::filesystem::remove_all(restore_directory, error);
      }
      break;
    default:
      break;
  }
}

bool KvModuleUniversal::apply_replica() { return make_restore(true); }

bool KvModuleUniversal::need_esign_for_operation(KvModuleOperations operation) {
  return operation == VerifyInClientDefinedStorage;
}

int split_full_version(const std::string& full_version, std::string& major_minor, std::string& patch,
                       std::string& build) {
  try {
    std::vector<std::string> pieces;
    boost::algorithm::split(pieces, full_version, [](char c) { return c == '.'; });
    pieces.resize(4);
    major_minor = pieces[0] + "." + pieces[1];
    patch = pieces[2];
    build = pieces[3];
    return 0;
  } catch (const std::exception&) {
    return 1;
  }
}
