// The resource checks against a test controller, inside the test process: what the real program
// does not reach quickly.
#include "tests/veil_vm/veil_vm_test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace veil_vm_test {
namespace {

class ResourceChecks : public ControllerTest {
 protected:
  void SetUp() override {
    ControllerTest::SetUp();
    boost::json::object vm = kv_test::TestController::make_vm("b0d1e7a4-0003", "db");
    vm["status"] = "SERVICE";
    vm["user_power_state"] = 1;
    controller.add_vm(std::move(vm));
  }
  std::unique_ptr<TestableModule> module_for(const std::string& resource) {
    KvModuleOptions options;
    options.resource = resource;
    return module_with(options);
  }
};

TEST_F(ResourceChecks, CheckFindsTheModuleVmAndTheResourcesRow) {
  auto module = module_for("");
  EXPECT_EQ(module->check_resource("b0d1e7a4-0003"), 0);
  EXPECT_EQ(module->conf.module_vm_id, k_module_vm);
  EXPECT_EQ(module->resource_info.verbose_name + "|" + module->resource_info.status + "|" +
                module->resource_info.user_power_state,
            "db|SERVICE|1");
  EXPECT_EQ(module->check_resource("db"), 2);
  EXPECT_EQ(errors(), std::vector<std::string>{"int KvModuleVeilVM::check_resource(const string&): there is no "
                                               "such VM: 'db'"});
}

TEST_F(ResourceChecks, AResourceExistsByItsIdAndOnlyInAListThatWasRead) {
  EXPECT_TRUE(module_for("b0d1e7a4-0003")->resource_exists());
  EXPECT_FALSE(module_for("db")->resource_exists());
  EXPECT_FALSE(module_for("")->resource_exists());
  EXPECT_EQ(errors(), std::vector<std::string>{"virtual bool KvModuleVeilVM::resource_exists(): resource is empty"});
  controller.add_fault("GET", "/api/domains/", kv_test::Fault{});
  EXPECT_FALSE(module_for("b0d1e7a4-0003")->resource_exists());
}

// An id that could go into no URL fails the checks of its own VM, as the resource or the module
// VM, and no other.
TEST_F(ResourceChecks, AnUnusableIdFailsOnlyTheChecksOfItsVm) {
  controller.add_vm(kv_test::TestController::make_vm("legacy vm #1", "legacy"));
  EXPECT_EQ(module_for("")->check_resource("b0d1e7a4-0003"), 0);
  EXPECT_EQ(module_for("")->check_resource("legacy vm #1"), 2);
  EXPECT_FALSE(module_for("legacy vm #1")->resource_exists());
  auto module = module_for("");
  module->conf.module_vm_name = "legacy";
  EXPECT_EQ(module->check_resource(""), 2);
  EXPECT_EQ(errors().size(), 3u);
}

}  // namespace
}  // namespace veil_vm_test
