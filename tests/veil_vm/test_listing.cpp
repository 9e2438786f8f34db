// Listing and resource checks against a test controller, inside the test process.
#include "tests/veil_vm/veil_vm_test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace veil_vm_test {
namespace {

using kv_test::TestController;

constexpr const char* k_check_sig = "int KvModuleVeilVM::check_resource(const string&)";
constexpr const char* k_list_sig = "int KvModuleVeilVM::list_all_resources(bool)";
constexpr const char* k_exists_sig = "virtual bool KvModuleVeilVM::resource_exists()";

boost::json::object vm_row(const std::string& id, const std::string& name, const std::string& status, int power) {
  boost::json::object vm = TestController::make_vm(id, name);
  vm["status"] = status;
  vm["user_power_state"] = power;
  return vm;
}

bool has_line(const std::vector<std::string>& lines, const std::string& wanted) {
  for (const auto& line : lines)
    if (line == wanted) return true;
  return false;
}

// A controller of its own for each test, and modules configured to reach it.
class ControllerTest : public module_test::ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    controller.start();
  }

  // A module whose configuration names the module VM `module_vm_name`.
  std::unique_ptr<TestableModule> module_for(const std::string& module_vm_name = "kv-proxy",
                                             const std::string& resource = "") {
    KvModuleOptions options;
    options.resource = resource;
    auto module = std::make_unique<TestableModule>(options);
    module->conf = settings_for(controller, module_vm_name);
    return module;
  }

  TestController controller;
};

class Listing : public ControllerTest {
 protected:
  void SetUp() override {
    ControllerTest::SetUp();
    controller.add_vm(vm_row("b0d1e7a4-0001", "web", "ACTIVE", 3));
    controller.add_vm(vm_row("b0d1e7a4-0002", "kv-proxy", "ACTIVE", 3));
    controller.add_vm(vm_row("b0d1e7a4-0003", "db", "SERVICE", 1));
  }
};

TEST_F(Listing, CheckFindsTheModuleVmWithoutAResource) {
  auto module = module_for();
  EXPECT_EQ(module->check_resource(""), 0);
  EXPECT_EQ(module->conf.module_vm_id, "b0d1e7a4-0002");
  EXPECT_EQ(module->resource_info.id, "");
  EXPECT_EQ(errors(), std::vector<std::string>{});
}

TEST_F(Listing, CheckFillsTheRowOfTheResource) {
  auto module = module_for();
  EXPECT_EQ(module->check_resource("b0d1e7a4-0003"), 0);
  EXPECT_EQ(module->conf.module_vm_id, "b0d1e7a4-0002");
  EXPECT_EQ(module->resource_info.id, "b0d1e7a4-0003");
  EXPECT_EQ(module->resource_info.verbose_name, "db");
  EXPECT_EQ(module->resource_info.status, "SERVICE");
  EXPECT_EQ(module->resource_info.user_power_state, "1");
}

TEST_F(Listing, CheckOfAnUnknownResourceFails) {
  auto module = module_for();
  EXPECT_EQ(module->check_resource("no-such-id"), 2);
  EXPECT_EQ(errors(), std::vector<std::string>{std::string(k_check_sig) + ": there is no such VM: 'no-such-id'"});
}

TEST_F(Listing, CheckWithoutTheModuleVmFailsBeforeTheResourceIsLookedAt) {
  auto module = module_for("kv-missing");
  EXPECT_EQ(module->check_resource("b0d1e7a4-0001"), 2);
  EXPECT_EQ(module->conf.module_vm_id, "");
  EXPECT_EQ(module->resource_info.id, "");
  EXPECT_EQ(errors(), std::vector<std::string>{std::string(k_check_sig) + ": the VM 'kv-missing' does not exist"});
}

TEST_F(Listing, EmptyModuleVmNameMatchesOnlyAnUnnamedVm) {
  auto module = module_for("");
  EXPECT_EQ(module->check_resource(""), 2);
  EXPECT_TRUE(has_line(errors(), std::string(k_check_sig) + ": the VM '' does not exist"));
  controller.add_vm(vm_row("b0d1e7a4-0004", "", "ACTIVE", 3));
  EXPECT_EQ(module->check_resource(""), 0);
  EXPECT_EQ(module->conf.module_vm_id, "b0d1e7a4-0004");
}

TEST_F(Listing, NamesakesOfTheModuleVmAreRefused) {
  controller.add_vm(vm_row("b0d1e7a4-0009", "kv-proxy", "ACTIVE", 3));
  auto module = module_for();
  EXPECT_EQ(module->check_resource("b0d1e7a4-0001"), 2);
  EXPECT_EQ(module->conf.module_vm_id, "");
  EXPECT_EQ(module->resource_info.id, "");
  EXPECT_EQ(errors(), std::vector<std::string>{std::string(k_check_sig) +
                                               ": more than one VM is named 'kv-proxy': b0d1e7a4-0002, b0d1e7a4-0009"});
}

TEST_F(Listing, ModuleVmNameIsComparedExactly) {
  auto module = module_for("KV-PROXY");
  EXPECT_EQ(module->check_resource(""), 2);
}

TEST_F(Listing, CheckWithAWrongPasswordFails) {
  auto module = module_for();
  module->conf.password = "wrong";
  EXPECT_EQ(module->check_resource(""), 2);
  EXPECT_TRUE(has_line(errors(), std::string(k_check_sig) + ": unable login to url: " + controller.url()));
  EXPECT_TRUE(controller.requests_to("GET", "/api/domains/").empty());
}

TEST_F(Listing, CheckOfAFailingListFails) {
  controller.add_fault("GET", "/api/domains/", kv_test::Fault{.kind = kv_test::Fault::Kind::html_500});
  auto module = module_for();
  EXPECT_EQ(module->check_resource(""), 2);
  EXPECT_TRUE(has_line(errors(), std::string(k_check_sig) + ": unable to get list of domains"));
}

TEST_F(Listing, ClientCheckPrintsTheVersionEvenWhenItFails) {
  auto module = module_for("kv-missing");
  EXPECT_EQ(module->check_client(true), 2);
  EXPECT_EQ(out(), "Module version: 2.1.0\n");
}

TEST_F(Listing, ClientCheckWithoutTheVersionPrintsNothing) {
  auto module = module_for();
  EXPECT_EQ(module->check_client(false), 0);
  EXPECT_EQ(out(), "");
}

TEST_F(Listing, ListPrintsOneRowPerVmInTheControllersOrder) {
  controller.add_vm(vm_row("b0d1e7a4-0005", "a|b", "ACTIVE", 3));
  auto module = module_for();
  EXPECT_EQ(module->list_all_resources(), 0);
  EXPECT_EQ(out(),
            "b0d1e7a4-0001|web|ACTIVE|3\n"
            "b0d1e7a4-0002|kv-proxy|ACTIVE|3\n"
            "b0d1e7a4-0003|db|SERVICE|1\n"
            "b0d1e7a4-0005|a|b|ACTIVE|3\n");
}

TEST_F(Listing, ListWithHeaderPrintsTheHeaderFirst) {
  auto module = module_for();
  EXPECT_EQ(module->list_all_resources_with_header_labels(), 0);
  EXPECT_EQ(out(),
            "ID|Name|Status|Power State\n"
            "b0d1e7a4-0001|web|ACTIVE|3\n"
            "b0d1e7a4-0002|kv-proxy|ACTIVE|3\n"
            "b0d1e7a4-0003|db|SERVICE|1\n");
}

TEST_F(Listing, ListReadsEveryPage) {
  controller.set_page_size(2);
  auto module = module_for();
  EXPECT_EQ(module->list_all_resources(false), 0);
  EXPECT_EQ(out(), "b0d1e7a4-0001|web|ACTIVE|3\nb0d1e7a4-0002|kv-proxy|ACTIVE|3\nb0d1e7a4-0003|db|SERVICE|1\n");
}

TEST_F(ControllerTest, EmptyListGivesOnlyTheHeaderAndFailsTheCheck) {
  auto module = module_for();
  EXPECT_EQ(module->list_all_resources(true), 0);
  EXPECT_EQ(out(), "ID|Name|Status|Power State\n");
  EXPECT_EQ(module->check_client(false), 2);
  EXPECT_TRUE(has_line(errors(), std::string(k_check_sig) + ": the VM 'kv-proxy' does not exist"));
}

TEST_F(Listing, ListWithAWrongPasswordPrintsNothing) {
  auto module = module_for();
  module->conf.password = "wrong";
  EXPECT_EQ(module->list_all_resources(true), 2);
  EXPECT_EQ(out(), "");
  EXPECT_TRUE(has_line(errors(), std::string(k_list_sig) + ": unable login to url: " + controller.url()));
}

TEST_F(Listing, ListOfAFailingControllerPrintsNothing) {
  controller.add_fault("GET", "/api/domains/", kv_test::Fault{.kind = kv_test::Fault::Kind::errors_reply});
  auto module = module_for();
  EXPECT_EQ(module->list_all_resources(true), 2);
  EXPECT_EQ(out(), "");
  EXPECT_TRUE(has_line(errors(), std::string(k_list_sig) + ": unable to get list of domains"));
}

TEST_F(Listing, HeaderLabelsNeedNoController) {
  auto module = module_for();
  EXPECT_EQ(module->list_header_labels(), 0);
  EXPECT_EQ(out(), "ID|Name|Status|Power State\n");
  EXPECT_TRUE(controller.requests().empty());
}

TEST_F(Listing, ResourceExistsByItsId) {
  auto module = module_for("kv-proxy", "b0d1e7a4-0003");
  EXPECT_TRUE(module->resource_exists());
  // The list request logs in by itself, once.
  EXPECT_EQ(controller.login_count(), 1);
  EXPECT_EQ(errors(), std::vector<std::string>{});
}

TEST_F(Listing, ResourceThatIsOnlyANameDoesNotExist) {
  auto module = module_for("kv-proxy", "web");
  EXPECT_FALSE(module->resource_exists());
  EXPECT_EQ(errors(), std::vector<std::string>{});
}

TEST_F(Listing, EmptyResourceDoesNotExist) {
  auto module = module_for();
  EXPECT_FALSE(module->resource_exists());
  EXPECT_EQ(errors(), std::vector<std::string>{std::string(k_exists_sig) + ": resource is empty"});
  EXPECT_TRUE(controller.requests().empty());
}

TEST_F(Listing, ResourceOfAFailingListDoesNotExist) {
  controller.add_fault("GET", "/api/domains/", kv_test::Fault{.kind = kv_test::Fault::Kind::errors_reply});
  auto module = module_for("kv-proxy", "b0d1e7a4-0003");
  EXPECT_FALSE(module->resource_exists());
}

}  // namespace
}  // namespace veil_vm_test
