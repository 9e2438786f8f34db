// The module parameters a backup takes from the -e string.
#include "veil_vm/kv_module_veil_vm.h"

#include "common/kv_logger.h"

#include <cstdint>
#include <string>

namespace {

constexpr uint32_t k_script_timeout_min = 1;
constexpr uint32_t k_script_timeout_max = 600;

bool is_yes(const std::string& value) { return value == "t" || value == "true" || value == "yes" || value == "y"; }

}  // namespace

veil_vm_module_conf KvModuleVeilVM::read_backup_parameters() const {
  veil_vm_module_conf params;
  std::string value;
  if (find_special_param("script_before_snapshot", value)) params.script_before_snapshot = value;
  if (find_special_param("script_after_snapshot", value)) params.script_after_snapshot = value;
  if (find_special_param("execution_script_timeout", value)) {
    // A negative number wraps to a large one and so falls out of range; text without leading
    // digits throws and ends the operation in the dispatcher.
    const auto timeout = static_cast<uint32_t>(std::stoi(value));
    if (timeout < k_script_timeout_min || timeout > k_script_timeout_max) {
      const uint32_t fallback = veil_vm_module_conf{}.execution_script_timeout;
      KvLogStream(KvLogLvl::Info) << "Selected value '" << timeout << "' for parameter '"
                                  << "execution_script_timeout"
                                  << "' is out of range [" << k_script_timeout_min << ", " << k_script_timeout_max
                                  << "]" << std::endl;
      KvLogStream(KvLogLvl::Info) << "The default value will be used: " << fallback << " (seconds)" << std::endl;
      params.execution_script_timeout = fallback;
    } else {
      params.execution_script_timeout = timeout;
    }
  }
  if (find_special_param("backup_if_shutdown", value)) params.backup_if_shutdown = is_yes(value);
  return params;
}
