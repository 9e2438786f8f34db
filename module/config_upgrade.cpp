// Configuration upgrade. The merge itself is not available yet, so the operation fails (status 1).

#include "module/kv_modules_common.h"

bool KvModuleUniversal::upgrade_config() { return false; }

// Every variable is mandatory unless the module says otherwise.
int KvModuleUniversal::get_config_option_presence_type(const std::string&) { return 0; }

// The operator's value survives the upgrade unless the module says otherwise.
std::string KvModuleUniversal::resolve_config_option_merge_conflict(const std::string&,
                                                                    const std::string& old_value) {
  return old_value;
}
