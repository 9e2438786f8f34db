// Restore and deployment; not in place yet: every step reports failure.
#include "veil_vm/kv_module_veil_vm.h"

bool KvModuleVeilVM::before_restore() { return false; }
bool KvModuleVeilVM::after_restore() { return false; }
bool KvModuleVeilVM::after_restore_last_file() { return false; }
bool KvModuleVeilVM::deployment(const bool&) { return false; }
