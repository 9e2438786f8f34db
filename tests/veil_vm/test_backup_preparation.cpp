// Backup preparation and release inside the test process, against a test controller: which guest
// scripts run, the after-script a failed preparation still owes, and the release's rules. The
// disks' block devices need the program's namespace, so the preparations here back up a VM
// without disks; the end-to-end tests attach real ones.
#include "tests/veil_vm/veil_vm_test_support.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace veil_vm_test {
namespace {

using kv_test::GuestProgram;
using kv_test::TestController;

constexpr const char* k_vm = "b0d1e7a4-0002";
constexpr const char* k_default_script = "/opt/kelvanor/scripts/veil_vm.sh";
const std::string k_probe = std::string("/usr/bin/test -f ") + k_default_script + " 1";

bool logged(const std::vector<std::string>& lines, const std::string& part) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(part) != std::string::npos; });
}

class BackupPreparation : public ControllerTest {
 protected:
  void SetUp() override {
    ControllerTest::SetUp();
    boost::json::object vm = TestController::make_vm(k_vm, "web");
    vm["boot_devices"] = boost::json::array{};
    controller.add_vm(std::move(vm));
    for (const char* script : {"/srv/freeze.sh", "/srv/thaw.sh", k_default_script})
      controller.set_guest_program(script, GuestProgram{});
  }

  std::unique_ptr<TestableModule> backup_module(const std::string& module_params = "") {
    KvModuleOptions options;
    options.resource = k_vm;
    options.backup_type = 1;
    options.tmp_operation_directory = dir();
    options.archive_name = "NAME";
    options.module_params = module_params;
    return module_with(options);
  }

  // Each guest run as "path args timeout".
  std::vector<std::string> runs() const {
    std::vector<std::string> texts;
    for (const auto& run : controller.guest_runs()) {
      std::string text = run.path;
      for (const auto& arg : run.args) text += " " + arg;
      texts.push_back(text + " " + run.timeout);
    }
    return texts;
  }
};

struct ScriptCase {
  std::string module_params;
  bool default_script_in_guest;
  bool prepared;
  std::vector<std::string> runs;
};

class GuestScripts : public BackupPreparation, public ::testing::WithParamInterface<ScriptCase> {};

TEST_P(GuestScripts, RunAroundThePreparationOfARunningVmAndAFailureStillThawsTheGuest) {
  const ScriptCase& c = GetParam();
  if (c.default_script_in_guest) controller.add_guest_file(k_vm, k_default_script);
  GuestProgram failing;
  failing.exitcode = "1";
  controller.set_guest_program("/srv/failing.sh", failing);
  // A link planted under the VM configuration's name stops the preparation.
  if (!c.prepared) boost::filesystem::create_symlink("/dev/full", dir() + "/NAME.vm.config");
  EXPECT_EQ(backup_module(c.module_params)->prepare_resource_before_backup(false), c.prepared);
  EXPECT_EQ(runs(), c.runs);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Preparation, GuestScripts, ::testing::Values(
    ScriptCase{"script_before_snapshot:/srv/freeze.sh,script_after_snapshot:/srv/thaw.sh,execution_script_timeout:42",
               true, true, {"/srv/freeze.sh before 42", "/srv/thaw.sh after 42"}},
    ScriptCase{"script_before_snapshot:/srv/freeze.sh", true, true, {"/srv/freeze.sh before 5"}},
    ScriptCase{"script_after_snapshot:/srv/thaw.sh", true, true,
               {k_probe, std::string(k_default_script) + " before 5", "/srv/thaw.sh after 5"}},
    ScriptCase{"script_after_snapshot:/srv/thaw.sh", false, true, {k_probe, "/srv/thaw.sh after 5"}},
    ScriptCase{"script_before_snapshot:/srv/failing.sh,script_after_snapshot:/srv/thaw.sh", false, false,
               {"/srv/failing.sh before 5", "/srv/thaw.sh after 5"}},
    ScriptCase{"", true, false,
               {k_probe, std::string(k_default_script) + " before 5", std::string(k_default_script) + " after 5"}}));
// clang-format on

// The list of the module VM's own disks is read before any attach; when it cannot be, the Error
// line names that VM as the module VM.
TEST_F(BackupPreparation, AModuleVmDiskListThatCannotBeReadIsNamedAsTheModuleVms) {
  controller.add_vdisk(TestController::make_vdisk("disk-1", "data", k_vm, 10.0));
  controller.add_fault("GET", std::string("/api/domains/") + k_module_vm + "/snapshots-info/",
                       kv_test::Fault{kv_test::Fault::Kind::html_500});
  EXPECT_FALSE(backup_module()->prepare_resource_before_backup(false));
  EXPECT_TRUE(logged(errors(), std::string(": unable to get vdisks attached to the module VM: '") + k_module_vm + "'"));
}

class BackupRelease : public BackupPreparation {
 protected:
  // A module as a successful preparation leaves it, with `disks` attached to the module VM.
  std::unique_ptr<TestableModule> prepared_module(const std::vector<std::string>& disks) {
    auto module = backup_module();
    module->conf.module_vm_id = k_module_vm;
    for (const auto& id : disks) controller.add_vdisk(TestController::make_vdisk(id, id, k_module_vm, 10.0));
    module->attached_vdisks = disks;
    module->vm_config_path = dir() + "/NAME.vm.config";
    kv_test::write_file(module->vm_config_path, "x");
    return module;
  }
  bool attached(const std::string& id) const { return controller.vdisk(id)->at("domain").is_object(); }
};

TEST_F(BackupRelease, WithNoDiskAttachedRemovesTheFilesWithoutAnyRequest) {
  auto module = prepared_module({});
  EXPECT_TRUE(module->release_resource_after_backup());
  EXPECT_TRUE(controller.requests().empty());
  EXPECT_FALSE(kv_test::file_exists(module->vm_config_path));
}

TEST_F(BackupRelease, ADiskNotAttachedCountsAsDetachedOneThatStaysFailsAndKeepsTheFiles) {
  auto module = prepared_module({"disk-1"});
  module->attached_vdisks.push_back("never-attached");
  controller.add_fault("POST", std::string("/api/domains/") + k_module_vm + "/detach-vdisk/", kv_test::Fault{});
  EXPECT_FALSE(module->release_resource_after_backup());
  EXPECT_TRUE(attached("disk-1"));
  EXPECT_EQ(module->attached_vdisks, std::vector<std::string>{"disk-1"});
  EXPECT_TRUE(kv_test::file_exists(module->vm_config_path));
}

TEST_F(BackupRelease, ALoginThatFailsNamesEveryDiskLeftAttached) {
  auto module = prepared_module({"disk-1", "disk-2"});
  controller.add_fault("POST", "/auth/", kv_test::Fault{});
  EXPECT_FALSE(module->release_resource_after_backup());
  EXPECT_TRUE(logged(errors(), std::string("left attached to VM '") + k_module_vm +
                                   "': vdisk 'disk-1', vdisk 'disk-2'"));
}

TEST_F(BackupRelease, ADetachWhoseReplyIsLostIsSeenThroughByTheDisksLock) {
  auto module = prepared_module({"disk-1"});
  module->conf.timeout = 1;
  controller.add_fault("POST", std::string("/api/domains/") + k_module_vm + "/detach-vdisk/",
                       kv_test::Fault{kv_test::Fault::Kind::slow, std::chrono::milliseconds(1500)});
  EXPECT_TRUE(module->release_resource_after_backup());
  EXPECT_FALSE(attached("disk-1"));
  EXPECT_FALSE(kv_test::file_exists(module->vm_config_path));
}

}  // namespace
}  // namespace veil_vm_test
