#include "veil_vm/kv_module_veil_vm.h"

#include "common/kv_version.h"

#include <iostream>

namespace {
// Build tag of this module, appended to the framework version.
constexpr const char* k_build_tag = "76b6ede";
}  // namespace

KvModuleVeilVM::KvModuleVeilVM(const KvModuleOptions& options) : KvModuleUniversal(options) {}

std::string KvModuleVeilVM::get_full_module_version() {
  return kelvanor::version_current_string + "." + k_build_tag;
}

void KvModuleVeilVM::usage_custom() {}

void KvModuleVeilVM::autonomous_options() {
  std::cout << "script_before_snapshot\t\t : string \tExecute script before snapshot(s) creation\n"
            << "script_after_snapshot\t\t : string \tExecute script after snapshot(s) creation\n"
            << "execution_script_timeout\t : integer \tScript timeout, seconds\n"
            << "dd_block_size\t\t\t : integer \tBlock size for dd operations, Megabytes\n"
            << "backup_if_shutdown\t\t\t : string(y/n) \tBackup virtual machine if it is shutted down\n";
}
