// Archiving (deleting the backed-up VM); not in place yet: does nothing.
#include "veil_vm/kv_module_veil_vm.h"

void KvModuleVeilVM::make_archiving() {}
