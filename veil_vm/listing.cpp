// Listing and resource checks; not in place yet: every operation reports failure.
#include "veil_vm/kv_module_veil_vm.h"

int KvModuleVeilVM::check_client(const bool&) { return 2; }
int KvModuleVeilVM::list_header_labels() { return 2; }
int KvModuleVeilVM::list_all_resources() { return 2; }
int KvModuleVeilVM::list_all_resources_with_header_labels() { return 2; }
bool KvModuleVeilVM::resource_exists() { return false; }
