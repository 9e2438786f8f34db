// One run of a module: init prepares the object from the command line, run carries out the one
// operation and gives the exit status the backup client reads.

#include "module/kv_modules_common.h"

#include "common/kv_logger.h"
#include "common/private_file.h"
#include "common/kv_version.h"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>

#include <unistd.h>

#include <exception>
#include <iostream>
#include <memory>


namespace {

constexpr const char* k_init_signature = "bool KvModuleUniversal::init(int, char**)";
constexpr const char* k_run_signature = "unsigned int KvModuleUniversal::run()";

constexpr const char* k_config_not_loaded = "Unable to load configuration from config file.";
constexpr const char* k_incomplete_data =
    "The work of the module is completed without a guarantee of completeness and consistency of the data";

// Exit statuses.
constexpr uint32_t k_success = 0;
constexpr uint32_t k_no_operation = 1;
constexpr uint32_t k_not_ready = 2;  // configuration, lock, resource or snapshot file
constexpr uint32_t k_unsupported_backup_type = 3;
constexpr uint32_t k_no_operation_directory = 4;
constexpr uint32_t k_no_archive_name = 5;
constexpr uint32_t k_backup_failed = 6;
constexpr uint32_t k_restore_failed = 7;
constexpr uint32_t k_restricted = 11;
constexpr uint32_t k_client_storage_failed = 12;
constexpr uint32_t k_exception = 13;
constexpr uint32_t k_not_applicable = 14;  // e-sign not needed, autonomous mode unsupported, empty JSON
constexpr uint32_t k_dedup_unsupported = 15;
constexpr uint32_t k_archiving_unsupported = 16;
constexpr uint32_t k_data_incomplete = 100;

uint32_t answer(bool supported, uint32_t refusal) { return supported ? k_success : refusal; }

}  // namespace

bool KvModuleUniversal::init(int argc, char** argv) {
  // The old handler goes first: its destructor resets the signal dispositions, which must not
  // undo what the new one installs.
  signal_handler.reset();
  signal_handler = KvModuleSignalHandler::init(this);

  if (!parse_module_options(argc, argv, options_)) return false;

  const KvModuleOperations op = options_.operation;
  if (op != Backup && op != Restore && op != DeleteFromClientDefinedStorage && op != VerifyInClientDefinedStorage)
    return true;
  if (options_.need_esign) return true;

  if (!load_client_defined_storages()) {
    KvLogStream(KvLogLvl::Error) << k_init_signature << ": Can't load cliend defined storages info" << std::endl;
    return false;
  }
  if (client_defined_storages.empty()) return true;
  if (client_defined_storage_prepare()) return true;
  KvLogStream(KvLogLvl::Error) << k_init_signature
                               << ": can't prepare the module to work with client defined storage" << std::endl;
  return false;
}

uint32_t KvModuleUniversal::run() {
  const KvModuleOperations op = options_.operation;
  if (options_.need_esign) return answer(need_esign_for_operation(op), k_not_applicable);

  if (op >= Backup && op <= ApplyReplica) std::cout << "MODULE PID:" << getpid() << std::endl;
  if (op == OperationNone || op > VerifyInClientDefinedStorage) return k_no_operation;

  // A stop requested after the operation's last stop point (while it printed its result, say)
  // is carried out all the same, before the client could take the run for a normal one.
  try {
    // Declared inside the try block so that the lock is released before an exception is logged.
    scoped_lock lock_holder;
    const uint32_t status = run_operation(lock_holder);
    kelvanor::module::stop_point();
    return status;
  } catch (const boost::filesystem::filesystem_error& error) {
    KvLogStream(KvLogLvl::Error) << k_run_signature << ": filesystem error: " << error.what() << std::endl;
  } catch (const std::exception& error) {
    KvLogStream(KvLogLvl::Error) << k_run_signature << ": Database error: " << error.what() << std::endl;
  }
  kelvanor::module::stop_point();
  return k_exception;
}

uint32_t KvModuleUniversal::run_operation(scoped_lock& lock_holder) {
  switch (options_.operation) {
    case CheckClient:
      return load_config_or_report() ? check_client(true) : k_not_ready;
    case UpgradeConfig:
      return upgrade_config() ? k_success : k_no_operation;
    case ListAllResources:
      return load_config_or_report() ? list_all_resources() : k_not_ready;
    case ListAllResourcesWithHeaders:
      return load_config_or_report() ? list_all_resources_with_header_labels() : k_not_ready;
    case ListHeaderLabels:
      return load_config_or_report() ? list_header_labels() : k_not_ready;
    case IsBackupTypeSupported:
      return answer_backup_type_question();
    case IsDedupSupported:
      return answer(options_.dedup_supported, k_dedup_unsupported);
    case IsArchivingSupported:
      return answer(options_.archiving_supported, k_archiving_unsupported);
    case IsAutonomousSupported:
      return answer(options_.autonomous_supported, k_not_applicable);
    case Backup:
    case BackupList:
    case CreateReplica:
      return run_backup(lock_holder);
    case Restore:
      return run_restore(lock_holder);
    case ApplyReplica:
      return run_apply_replica(lock_holder);
    case ShowVersion:
      std::cout << kelvanor::version_current;
      std::cout << std::endl;
      return k_success;
    case ShowBackupOptions:
      autonomous_options();
      return k_success;
    case ShowModuleProperties:
      module_properties();
      return k_success;
    case ListRestoreParameters:
      list_restore_parameters();
      return k_success;
    case DeleteFromClientDefinedStorage:
    case VerifyInClientDefinedStorage:
      return run_client_storage_operation();
    case OperationNone:
      break;
  }
  return k_no_operation;
}

bool KvModuleUniversal::load_config_or_report() {
  if (load_module_config()) return true;
  KvLogStream(KvLogLvl::Error) << k_config_not_loaded << std::endl;
  return false;
}

uint32_t KvModuleUniversal::lock_resource(const std::string& key, scoped_lock& lock_holder) {
  if (!options_.one_resource_at_a_time) return k_success;
  if (!reassign_resource_locker(key)) return k_not_ready;
  if (!resource_file_lock.try_lock()) {
    KvLogStream(KvLogLvl::Error) << "resource " << kelvanor::as_quoted(key) << " is busy by another process!" << std::endl;
    return k_not_ready;
  }
  lock_holder = scoped_lock(resource_file_lock, boost::interprocess::accept_ownership);
  KvLogStream(KvLogLvl::Debug) << "resource" << kelvanor::as_quoted(key) << " locked." << std::endl;
  return k_success;
}

uint32_t KvModuleUniversal::answer_backup_type_question() const {
  switch (options_.backup_type) {
    case 1:
      return k_success;
    case 2:
      if (options_.incremental_supported) return k_success;
      KvLogStream(KvLogLvl::Error) << ": incremental backup is not supported by module " << options_.program_path
                                   << std::endl;
      return k_unsupported_backup_type;
    case 3:
      if (options_.differential_supported) return k_success;
      KvLogStream(KvLogLvl::Error) << ": differential backup is not supported by module " << options_.program_path
                                   << std::endl;
      return k_unsupported_backup_type;
    default:
      KvLogStream(KvLogLvl::Error) << ": unknown backup type!" << std::endl;
      return k_unsupported_backup_type;
  }
}

uint32_t KvModuleUniversal::finish_with_data_state() const {
  if (!data_incomplete) return k_success;
  KvLogStream(KvLogLvl::Warning) << k_incomplete_data << std::endl;
  return k_data_incomplete;
}

uint32_t KvModuleUniversal::run_backup(scoped_lock& lock_holder) {
  const KvModuleOperations op = options_.operation;
  const bool replica = op == CreateReplica;
  const std::string& resource = options_.resource;

  if (uint32_t status = lock_resource(resource, lock_holder); status != k_success) return status;
  if (!load_config_or_report()) return k_not_ready;
  if (options_.tmp_operation_directory.empty()) {
    KvLogStream(KvLogLvl::Error) << "Backup module: you must define tmp_operation_directory directory." << std::endl;
    return k_no_operation_directory;
  }
  if (options_.archive_name.empty()) {
    KvLogStream(KvLogLvl::Error) << "Backup module: you must define archive name." << std::endl;
    return k_no_archive_name;
  }
  // The working folders have names anyone can foresee, in a folder others may write to: what
  // the data mover and tar write into them must not land where a planted link points.
  boost::filesystem::create_directories(options_.tmp_operation_directory);
  kv_utils_common::make_private_directory(snapshot_directory_path());
  kv_utils_common::make_private_directory(leveldb_directory_path());

  if (options_.local_restrictions) {
    if (op == Backup && !check_local_restrictions()) {
      KvLogStream(KvLogLvl::Error) << "Backup module: Unable to backup this resource " << kelvanor::as_quoted(resource)
                                   << ". Local restriction." << std::endl;
      return k_restricted;
    }
    if (op == BackupList && !options_.resource_list.check_local_restrictions(read_local_restrictions()))
      return k_restricted;
    if (op == CreateReplica && !check_local_restrictions()) {
      KvLogStream(KvLogLvl::Error) << "Backup module: Unable to backup this resource " << kelvanor::as_quoted(resource)
                                   << " due to the local restriction." << std::endl;
      return k_restricted;
    }
  }
  if (!resource_exists()) {
    KvLogStream(KvLogLvl::Error) << "Backup module: Unable to backup this resource " << kelvanor::as_quoted(resource)
                                 << ". Resource doesn't exist." << std::endl;
    return k_not_ready;
  }
  if (!options_.reference_snapshot.empty() && unpack_snapshot_file(options_.reference_snapshot) != 0) {
    KvLogStream(KvLogLvl::Error) << "Backup module: Unable to unpack reference snapshot file: "
                                 << kelvanor::as_quoted(options_.reference_snapshot) << "." << std::endl;
    return k_not_ready;
  }
  if (!prepare_resource_before_backup(replica)) return k_backup_failed;

  const bool backed_up = make_backup();
  // The resource is given back whatever the data mover did.
  if (!release_resource_after_backup()) return k_backup_failed;
  if (backed_up && !close_backup(replica)) return k_backup_failed;
  if (!backed_up) return k_backup_failed;
  return finish_with_data_state();
}

uint32_t KvModuleUniversal::run_restore(scoped_lock& lock_holder) {
  if (uint32_t status = lock_resource(options_.record_id, lock_holder); status != k_success) return status;
  if (!load_config_or_report()) return k_not_ready;
  if (define_restore_directory() != 0) return k_restore_failed;
  if (!options_.meta_file.empty() && unpack_snapshot_file(options_.meta_file) != 0) {
    KvLogStream(KvLogLvl::Error) << "Unable to unpack snapshot file: " << kelvanor::as_quoted(options_.meta_file) << "."
                                 << std::endl;
    return k_not_ready;
  }
  if (!before_restore()) {
    last = true;
    close_restore();
    return k_restore_failed;
  }
  const bool restored = make_restore(false);
  const bool after_restored = after_restore();
  if (!after_restored || !restored) {
    last = true;
    close_restore();
    return k_restore_failed;
  }
  if (last) {
    if (!after_restore_last_file()) {
      close_restore();
      return k_restore_failed;
    }
    if (!without_deployment_restore && !deployment(false)) {
      close_restore();
      return k_restore_failed;
    }
  }
  if (without_deployment_restore)
    remove_reference_snapshot_directory();
  else
    close_restore();
  return finish_with_data_state();
}

uint32_t KvModuleUniversal::run_apply_replica(scoped_lock& lock_holder) {
  if (uint32_t status = lock_resource(options_.record_id, lock_holder); status != k_success) return status;
  if (!load_config_or_report()) return k_not_ready;

  // From here on every ending removes the unpacked reference snapshot.
  auto fail = [this](uint32_t status) {
    remove_reference_snapshot_directory();
    return status;
  };
  if (unpack_snapshot_file(options_.meta_file) != 0) {
    KvLogStream(KvLogLvl::Error) << "Unable to unpack snapshot file: " << kelvanor::as_quoted(options_.meta_file) << "."
                                 << std::endl;
    return fail(k_not_ready);
  }
  if (!before_restore()) return fail(k_restore_failed);
  const bool applied = apply_replica();
  const bool after_restored = after_restore();
  if (!after_restored || !applied) return fail(k_restore_failed);
  if (!after_restore_last_file()) return fail(k_restore_failed);
  if (!deployment(true)) return fail(k_restore_failed);
  remove_reference_snapshot_directory();
  return finish_with_data_state();
}

uint32_t KvModuleUniversal::run_client_storage_operation() {
  const bool deletion = options_.operation == DeleteFromClientDefinedStorage;
  if (!load_config_or_report()) return k_not_ready;

  std::vector<std::pair<int, std::string>> entries;
  if (deletion) {
    if (options_.client_defined_storage_json.empty()) {
      KvLogStream(KvLogLvl::Error) << "Empty json content" << std::endl;
      return k_not_applicable;
    }
    if (!parse_json_of_client_defined_storage(options_.client_defined_storage_json, entries)) {
      KvLogStream(KvLogLvl::Error) << k_run_signature << ": can't parse json" << std::endl;
      return k_client_storage_failed;
    }
  }
  // The client's snapshot file is only looked into here: it is unpacked into a directory of the
  // run's own, which goes with the run however it ends.
  const auto remove_unpacked = [](KvModuleUniversal* module) { module->remove_reference_snapshot_directory(); };
  const std::unique_ptr<KvModuleUniversal, decltype(remove_unpacked)> unpacked(this, remove_unpacked);
  if (!options_.meta_file.empty() && unpack_snapshot_file_privately(options_.meta_file) != 0) {
    KvLogStream(KvLogLvl::Error) << "Unable to unpack snapshot file: " << kelvanor::as_quoted(options_.meta_file) << "."
                                 << std::endl;
    return k_not_ready;
  }
  const bool done = deletion ? delete_from_client_defined_storage(entries) : verify_in_client_defined_storage();
  return answer(done, k_client_storage_failed);
}
