#pragma once

// Test helpers of the VeiL module: the module with its inner routines and fields opened for the
// tests, and the settings that point it at a test controller.

#include "tests/module/module_test_support.h"
#include "tests/support/test_controller.h"
#include "veil_vm/kv_module_veil_vm.h"

#include <map>
#include <string>
#include <vector>

namespace veil_vm_test {

class TestableModule : public KvModuleVeilVM {
 public:
  explicit TestableModule(const KvModuleOptions& options = {}) : KvModuleVeilVM(options) {}

  using KvModuleVeilVM::check_resource;
  using KvModuleVeilVM::conf;
  using KvModuleVeilVM::list_all_resources;
  using KvModuleVeilVM::load_module_config_from;
  using KvModuleVeilVM::options_;
  using KvModuleVeilVM::read_backup_parameters;
  using KvModuleVeilVM::resource_info;
};

// Every field of the settings by name, so a failed comparison shows what differs.
inline std::map<std::string, std::string> fields(const ::conf& settings) {
  return {{"url", settings.url},
          {"username", settings.username},
          {"password", settings.password},
          {"module_vm_name", settings.module_vm_name},
          {"module_vm_id", settings.module_vm_id},
          {"ca_info", settings.ca_info},
          {"enable_ssl", settings.enable_ssl ? "true" : "false"},
          {"timeout", std::to_string(settings.timeout)},
          {"curl_verbose", settings.curl_verbose ? "true" : "false"}};
}

inline std::map<std::string, std::string> fields(const veil_vm_module_conf& params) {
  return {{"backup_if_shutdown", params.backup_if_shutdown ? "true" : "false"},
          {"script_before_snapshot", params.script_before_snapshot},
          {"script_after_snapshot", params.script_after_snapshot},
          {"execution_script_timeout", std::to_string(params.execution_script_timeout)}};
}

// The fields of a default record with "name=value" changes applied.
template <typename Record>
std::map<std::string, std::string> fields_changed(const std::vector<std::string>& changes) {
  std::map<std::string, std::string> result = fields(Record{});
  for (const auto& change : changes) {
    const auto equals = change.find('=');
    result.at(change.substr(0, equals)) = change.substr(equals + 1);
  }
  return result;
}

// Settings a module reads from its configuration file to reach this controller.
inline ::conf settings_for(const kv_test::TestController& controller, const std::string& module_vm_name) {
  ::conf settings;
  const kv_test::TestController::Options defaults;
  settings.url = controller.url();
  settings.username = defaults.username;
  settings.password = defaults.password;
  settings.module_vm_name = module_vm_name;
  settings.timeout = 5;
  return settings;
}

}  // namespace veil_vm_test
