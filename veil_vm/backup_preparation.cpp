// Backup preparation and release; not in place yet: both report failure.
#include "veil_vm/kv_module_veil_vm.h"

bool KvModuleVeilVM::prepare_resource_before_backup(const bool&) { return false; }
bool KvModuleVeilVM::release_resource_after_backup() { return false; }
