// The module configuration file; not in place yet: nothing loads.
#include "veil_vm/kv_module_veil_vm.h"

bool KvModuleVeilVM::load_module_config() { return false; }
