// Client-defined storages. Reading the task's storage methods is not available yet: loading
// fails, so backups and restores do not start (init fails), and deletion and verification fail
// with status 12.

#include "module/kv_modules_common.h"

bool KvModuleUniversal::load_client_defined_storages() { return false; }

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
