#pragma once

// Test helpers of the VeiL module: the module with its inner routines and fields opened for the
// tests, and a test controller it is configured to reach.

#include "tests/module/module_test_support.h"
#include "tests/support/test_controller.h"
#include "veil/stop_points.h"
#include "veil_vm/kv_module_veil_vm.h"

#include <memory>
#include <string>

namespace veil_vm_test {

class TestableModule : public KvModuleVeilVM {
 public:
  explicit TestableModule(const KvModuleOptions& options = {}) : KvModuleVeilVM(options) {}

  using KvModuleVeilVM::attached_vdisks;
  using KvModuleVeilVM::check_resource;
  using KvModuleVeilVM::conf;
  using KvModuleVeilVM::dd_block_size;
  using KvModuleVeilVM::deploy_vm;
  using KvModuleVeilVM::domain_verbose_name;
  using KvModuleVeilVM::fill_domain_config;
  using KvModuleVeilVM::load_module_config_from;
  using KvModuleVeilVM::options_;
  using KvModuleVeilVM::read_backup_parameters;
  using KvModuleVeilVM::read_dd_block_size;
  using KvModuleVeilVM::resource_info;
  using KvModuleVeilVM::special_params;
  using KvModuleVeilVM::vdisk_config_paths;
  using KvModuleVeilVM::vm_config_path;
};

// A test controller of its own holding the module VM "kv-proxy", and polls that do not wait.
class ControllerTest : public module_test::ModuleTest {
 protected:
  static constexpr const char* k_module_vm = "b0d1e7a4-0001";

  void SetUp() override {
    ModuleTest::SetUp();
    kv_veil::testing::set_pause_for_tests([] {});
    controller.start();
    controller.set_task_schedule({std::string("SUCCESS")});
    controller.add_vm(kv_test::TestController::make_vm(k_module_vm, "kv-proxy"));
  }
  void TearDown() override {
    kv_veil::testing::set_pause_for_tests(nullptr);
    ModuleTest::TearDown();
  }

  // A module configured for this controller, with the -e string already parsed.
  std::unique_ptr<TestableModule> module_with(KvModuleOptions options = {}) {
    auto module = std::make_unique<TestableModule>(options);
    module->parce_param_string();
    const kv_test::TestController::Options defaults;
    module->conf.url = controller.url();
    module->conf.username = defaults.username;
    module->conf.password = defaults.password;
    module->conf.module_vm_name = "kv-proxy";
    module->conf.timeout = 5;
    return module;
  }

  kv_test::TestController controller;
};

}  // namespace veil_vm_test
