// Client-defined storages. A run without a task id has no storage methods to read. Reading a
// task's methods file is not available yet: with a task id loading fails, so backups and
// restores of a task do not start (init fails), and deletion and verification fail with
// status 12.

#include "module/kv_modules_common.h"

#include "common/kv_logger.h"

bool KvModuleUniversal::load_client_defined_storages() {
  if (options_.task_id.empty()) {
    KvLogStream(KvLogLvl::Debug) << "No task id -  client defined storages loading skipped" << std::endl;
    return true;
  }
  return false;
}

bool KvModuleUniversal::client_defined_storage_prepare() { return false; }

// A module accepts no client-defined storage unless it says so.
bool KvModuleUniversal::check_supported_client_defined_storage(int) { return false; }

bool KvModuleUniversal::parse_json_of_client_defined_storage(const std::string&,
                                                             std::vector<std::pair<int, std::string>>&) {
  return false;
}

bool KvModuleUniversal::delete_from_client_defined_storage(std::vector<std::pair<int, std::string>>) {
  return false;
}
