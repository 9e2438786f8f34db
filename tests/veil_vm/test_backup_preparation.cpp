// Backup preparation and release inside the test process, against a test controller: the guest
// scripts around the preparation, the files it writes, and the release's answers. The disks'
// block devices need the program's namespace, so the preparations here back up VMs without
// disks; the end-to-end tests attach real ones.
#include "tests/veil_vm/veil_vm_test_support.h"

#include "tests/support/temp_dir.h"
#include "veil/curl_api.h"
#include "veil/saved_config.h"
#include "veil/stop_points.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veil_vm_test {
namespace {

using kv_test::file_exists;
using kv_test::GuestProgram;
using kv_test::read_file;
using kv_test::TestController;
using kv_test::write_file;

constexpr const char* k_prepare_sig = "virtual bool KvModuleVeilVM::prepare_resource_before_backup(const bool&)";
constexpr const char* k_release_sig = "virtual bool KvModuleVeilVM::release_resource_after_backup()";
constexpr const char* k_module_vm = "b0d1e7a4-0001";
constexpr const char* k_vm = "b0d1e7a4-0002";
constexpr const char* k_default_script = "/opt/kelvanor/scripts/veil_vm.sh";

class BackupModule : public TestableModule {
 public:
  using TestableModule::TestableModule;
  using KvModuleVeilVM::attached_vdisks;
  using KvModuleVeilVM::domain_verbose_name;
  using KvModuleVeilVM::owed_after_script;
  using KvModuleVeilVM::vdisk_config_paths;
  using KvModuleVeilVM::vm_config_path;
};

// One guest run as "path arg arg ...".
std::vector<std::string> runs_of(const TestController& controller) {
  std::vector<std::string> runs;
  for (const auto& run : controller.guest_runs()) {
    std::string text = run.path;
    for (const auto& arg : run.args) text += " " + arg;
    runs.push_back(text);
  }
  return runs;
}

class BackupPreparation : public module_test::ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    kv_veil::testing::set_pause_for_tests([] {});
    controller.start();
    controller.set_task_schedule({std::string("SUCCESS")});
    controller.add_vm(TestController::make_vm(k_module_vm, "kv-proxy"));
    boost::json::object vm = TestController::make_vm(k_vm, "web");
    vm["boot_devices"] = boost::json::array{};
    controller.add_vm(std::move(vm));
  }
  void TearDown() override {
    kv_veil::testing::set_pause_for_tests(nullptr);
    ModuleTest::TearDown();
  }

  std::unique_ptr<BackupModule> module_with(const std::string& module_params = "", uint32_t backup_type = 1) {
    KvModuleOptions options;
    options.resource = k_vm;
    options.backup_type = backup_type;
    options.tmp_operation_directory = dir();
    options.archive_name = "NAME";
    options.module_params = module_params;
    auto module = std::make_unique<BackupModule>(options);
    module->parce_param_string();
    module->conf = settings_for(controller, "kv-proxy");
    return module;
  }

  std::string path(const std::string& name) const { return dir() + "/" + name; }

  TestController controller;
};

struct ScriptCase {
  const char* name;
  std::string module_params;
  bool default_script_in_guest;
  std::vector<std::string> runs;
  std::string timeout = "5";  // of every script; the probe has 1
};

class GuestScripts : public BackupPreparation, public ::testing::WithParamInterface<ScriptCase> {};

TEST_P(GuestScripts, RunAroundThePreparationOfARunningVm) {
  const ScriptCase& c = GetParam();
  if (c.default_script_in_guest) controller.add_guest_file(k_vm, k_default_script);
  for (const char* script : {"/srv/freeze.sh", "/srv/thaw.sh", k_default_script})
    controller.set_guest_program(script, GuestProgram{});
  auto module = module_with(c.module_params);
  EXPECT_TRUE(module->prepare_resource_before_backup(false));
  EXPECT_EQ(runs_of(controller), c.runs);
  for (const auto& run : controller.guest_runs()) EXPECT_EQ(run.timeout, run.path == "/usr/bin/test" ? "1" : c.timeout);
  EXPECT_FALSE(module->owed_after_script.has_value());
}

const std::string k_probe = std::string("/usr/bin/test -f ") + k_default_script;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Preparation, GuestScripts, ::testing::Values(
    ScriptCase{"BeforeAndAfter", "script_before_snapshot:/srv/freeze.sh,script_after_snapshot:/srv/thaw.sh", true,
               {"/srv/freeze.sh before", "/srv/thaw.sh after"}},
    ScriptCase{"BeforeOnly", "script_before_snapshot:/srv/freeze.sh", true, {"/srv/freeze.sh before"}},
    ScriptCase{"DefaultScript", "", true,
               {k_probe, std::string(k_default_script) + " before", std::string(k_default_script) + " after"}},
    ScriptCase{"DefaultBeforeGivenAfter", "script_after_snapshot:/srv/thaw.sh", true,
               {k_probe, std::string(k_default_script) + " before", "/srv/thaw.sh after"}},
    ScriptCase{"NoScriptAtAll", "", false, {k_probe}},
    ScriptCase{"AfterOnly", "script_after_snapshot:/srv/thaw.sh", false, {k_probe, "/srv/thaw.sh after"}},
    ScriptCase{"TimeoutReachesTheGuest", "script_before_snapshot:/srv/freeze.sh,execution_script_timeout:42", false,
               {"/srv/freeze.sh before"}, "42"}),
    [](const ::testing::TestParamInfo<ScriptCase>& param) { return param.param.name; });
// clang-format on

TEST_F(BackupPreparation, WritesTheVmConfigurationAndTheListOfAVmWithoutDisks) {
  auto module = module_with();
  ASSERT_TRUE(module->prepare_resource_before_backup(false));
  // The probe for the default script is the one failure on the way.
  EXPECT_EQ(errors(), std::vector<std::string>{"int curlAPI::run_script_inside_vm(const string&, const string&, "
                                               "std::string&, unsigned int&): internal VM script returned: 1"});

  // The saved file holds the archive text of the configuration as read, and reads back whole.
  curlAPI api(module->conf);
  domain_conf expected;
  ASSERT_EQ(api.get_domain_config(k_vm, expected), 0);
  EXPECT_EQ(read_file(path("NAME.vm.config")), kv_veil::to_archive_text(expected));
  EXPECT_EQ(module->vm_config_path, path("NAME.vm.config"));

  EXPECT_EQ(module->options_.resource_list_file, path("NAME.kvfd.list"));
  EXPECT_EQ(read_file(path("NAME.kvfd.list")), "KVFD file list:\n   " + path("NAME.vm.config") + " : vm.config\n");
  EXPECT_EQ(out(), "File list to backup: \n" + path("NAME.vm.config") + " : vm.config\n");
  EXPECT_EQ(module->domain_verbose_name, "web");
  EXPECT_TRUE(module->attached_vdisks.empty());
  const auto info = log_at("Info");
  EXPECT_EQ(info.front(), std::string("\nGot a task to make a full backup of VM '") + k_vm + "'");
  EXPECT_EQ(info[1], "Copy name: NAME");
}

TEST_F(BackupPreparation, ForAReplicaWritesTheFilesButListsNothing) {
  auto module = module_with("", 7);
  ASSERT_TRUE(module->prepare_resource_before_backup(true));
  EXPECT_TRUE(file_exists(path("NAME.vm.config")));
  EXPECT_EQ(read_file(path("NAME.kvfd.list")), "KVFD file list:\n");
  EXPECT_EQ(out(), "File list to backup: \n");
  // An unknown backup type leaves the type text out.
  EXPECT_EQ(log_at("Info").front(), std::string("\nGot a task to make  backup of VM '") + k_vm + "'");
}

TEST_F(BackupPreparation, RefusesAStoppedVmBeforeItsOwnLogin) {
  boost::json::object stopped = TestController::make_vm("b0d1e7a4-0003", "db");
  stopped["user_power_state"] = 1;
  controller.add_vm(std::move(stopped));
  auto module = module_with("backup_if_shutdown:no");
  module->options_.resource = "b0d1e7a4-0003";
  EXPECT_FALSE(module->prepare_resource_before_backup(false));
  EXPECT_EQ(errors(),
            std::vector<std::string>{std::string(k_prepare_sig) + ": Can't backup an offline VM: 'b0d1e7a4-0003'"});
  EXPECT_EQ(controller.login_count(), 1);  // the resource check's
  EXPECT_TRUE(controller.guest_runs().empty());
}

TEST_F(BackupPreparation, AnUnknownVmFailsWithTheStatusLine) {
  auto module = module_with();
  module->options_.resource = "no-such-vm";
  EXPECT_FALSE(module->prepare_resource_before_backup(false));
  EXPECT_EQ(errors().back(), std::string(k_prepare_sig) + ": unable to get status of VM");
}

// A failure after the before-script thaws the guest with the after-script before giving up.
struct OwedCase {
  const char* name;
  std::string module_params;
  bool default_script_in_guest;
  bool before_fails;
  std::string full_file;  // a file of the run that lands on a full disk; empty: none
  bool disk_list_fails;
  std::vector<std::string> runs;
  std::string error;
};

class OwedAfterScript : public BackupPreparation, public ::testing::WithParamInterface<OwedCase> {};

TEST_P(OwedAfterScript, RunsOnceWhenThePreparationFails) {
  const OwedCase& c = GetParam();
  if (c.default_script_in_guest) controller.add_guest_file(k_vm, k_default_script);
  GuestProgram failing;
  failing.exitcode = "1";
  controller.set_guest_program("/srv/freeze.sh", c.before_fails ? failing : GuestProgram{});
  controller.set_guest_program("/srv/thaw.sh", GuestProgram{});
  controller.set_guest_program(k_default_script, GuestProgram{});
  if (!c.full_file.empty()) boost::filesystem::create_symlink("/dev/full", path(c.full_file));
  if (c.disk_list_fails)
    controller.add_fault("GET", std::string("/api/domains/") + k_vm + "/snapshots-info/", kv_test::Fault{});

  auto module = module_with(c.module_params);
  EXPECT_FALSE(module->prepare_resource_before_backup(false));
  EXPECT_EQ(runs_of(controller), c.runs);
  EXPECT_FALSE(module->owed_after_script.has_value());
  const auto lines = errors();
  EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                         [&](const std::string& line) { return line.find(c.error) != std::string::npos; }),
            lines.end())
      << c.error;
}

const std::string k_freeze_and_thaw = "script_before_snapshot:/srv/freeze.sh,script_after_snapshot:/srv/thaw.sh";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Preparation, OwedAfterScript, ::testing::Values(
    OwedCase{"DiskListFails", k_freeze_and_thaw, false, false, "", true,
             {"/srv/freeze.sh before", "/srv/thaw.sh after"},
             std::string(k_prepare_sig) + ": unable to get vdisks attached to VM: '" + k_vm + "'"},
    OwedCase{"BeforeScriptFails", k_freeze_and_thaw, false, true, "", false,
             {"/srv/freeze.sh before", "/srv/thaw.sh after"}, "int curlAPI::run_script_inside_vm"},
    OwedCase{"VmConfigurationOnAFullDisk", "", true, false, "NAME.vm.config", false,
             {k_probe, std::string(k_default_script) + " before", std::string(k_default_script) + " after"},
             std::string(k_prepare_sig) + ": unable to write virtual machine config file: "},
    OwedCase{"ListOnAFullDiskAfterTheAfterScript", k_freeze_and_thaw, false, false, "NAME.kvfd.list", false,
             {"/srv/freeze.sh before", "/srv/thaw.sh after"}, "can't write kvfd list file"}),
    [](const ::testing::TestParamInfo<OwedCase>& param) { return param.param.name; });
// clang-format on

TEST_F(BackupPreparation, AVmConfigurationThatCannotBeCreatedFails) {
  auto module = module_with();
  module->options_.tmp_operation_directory = dir() + "/missing";
  EXPECT_FALSE(module->prepare_resource_before_backup(false));
  EXPECT_EQ(errors().back(), std::string(k_prepare_sig) + ": unable to create virtual machine config file");
  EXPECT_FALSE(file_exists(path("NAME.kvfd.list")));
}

class BackupRelease : public BackupPreparation {
 protected:
  // A disk of the VM, attached to the module VM as the preparation leaves it.
  void add_attached_disk(const std::string& id) {
    controller.add_vdisk(TestController::make_vdisk(id, "disk " + id, k_module_vm, 10.0));
  }
  std::string domain_of(const std::string& id) const {
    const boost::json::value domain = controller.vdisk(id)->at("domain");
    return domain.is_object() ? std::string(domain.as_object().at("id").as_string()) : std::string();
  }
  // A module in the state a successful preparation leaves, with the run's files in place.
  std::unique_ptr<BackupModule> prepared_module(const std::vector<std::string>& disks) {
    auto module = module_with();
    module->conf.module_vm_id = k_module_vm;
    module->attached_vdisks = disks;
    module->options_.resource_list_file = path("NAME.kvfd.list");
    module->vm_config_path = path("NAME.vm.config");
    module->vdisk_config_paths = {path("NAME_vdb.config"), path("NAME_vdc.config")};
    for (const char* name : {"NAME.kvfd.list", "NAME.vm.config", "NAME_vdb.config", "NAME_vdc.config"})
      write_file(path(name), "x");
    return module;
  }
  std::vector<std::string> run_files() const {
    std::vector<std::string> names;
    for (const auto& entry : boost::filesystem::directory_iterator(dir()))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(BackupRelease, DetachesEveryDiskAndRemovesTheRunsFiles) {
  add_attached_disk("disk-1");
  add_attached_disk("disk-2");
  auto module = prepared_module({"disk-1", "disk-2"});
  ASSERT_TRUE(module->release_resource_after_backup());
  EXPECT_EQ(domain_of("disk-1"), "");
  EXPECT_EQ(domain_of("disk-2"), "");
  EXPECT_TRUE(module->attached_vdisks.empty());
  EXPECT_EQ(run_files(), std::vector<std::string>{});
  EXPECT_EQ(errors(), std::vector<std::string>{});
  EXPECT_EQ(log_at("Debug").size(), 4u);
  EXPECT_EQ(log_at("Info").back(), std::string("The task to make 1 backup of VM '") + k_vm +
                                       "' completed successfully");
}

TEST_F(BackupRelease, WithNothingLeftSucceedsQuietly) {
  auto module = module_with();
  module->vm_config_path = path("gone.vm.config");
  EXPECT_TRUE(module->release_resource_after_backup());
  EXPECT_EQ(errors(), std::vector<std::string>{});
  EXPECT_TRUE(log_at("Debug").empty());
}

TEST_F(BackupRelease, ADiskThatStaysAttachedFailsAndKeepsTheFilesOneNotAttachedCountsAsDetached) {
  add_attached_disk("disk-1");
  controller.add_fault("POST", std::string("/api/domains/") + k_module_vm + "/detach-vdisk/", kv_test::Fault{});
  auto module = prepared_module({"disk-1", "never-attached"});
  EXPECT_FALSE(module->release_resource_after_backup());
  EXPECT_EQ(domain_of("disk-1"), k_module_vm);
  EXPECT_EQ(module->attached_vdisks, std::vector<std::string>{"disk-1"});
  EXPECT_EQ(run_files().size(), 4u);
  const auto info = log_at("Info");
  EXPECT_NE(std::find(info.begin(), info.end(),
                      std::string("Disk 'never-attached' is not attached to VM '") + k_module_vm + "'"),
            info.end());
}

TEST_F(BackupRelease, ADetachWhoseReplyIsLostIsSeenThroughByTheDisksLock) {
  add_attached_disk("disk-1");
  auto module = prepared_module({"disk-1"});
  module->conf.timeout = 1;
  controller.add_fault("POST", std::string("/api/domains/") + k_module_vm + "/detach-vdisk/",
                       kv_test::Fault{kv_test::Fault::Kind::slow, std::chrono::milliseconds(1500)});
  EXPECT_TRUE(module->release_resource_after_backup());
  EXPECT_EQ(domain_of("disk-1"), "");
  EXPECT_TRUE(module->attached_vdisks.empty());
}

TEST_F(BackupRelease, RunsAnAfterScriptThePreparationStillOwes) {
  controller.set_guest_program("/srv/thaw.sh", GuestProgram{});
  auto module = prepared_module({});
  module->owed_after_script = veil_vm_guest_script{k_vm, "/srv/thaw.sh", 9};
  EXPECT_TRUE(module->release_resource_after_backup());
  EXPECT_EQ(runs_of(controller), std::vector<std::string>{"/srv/thaw.sh after"});
  EXPECT_EQ(controller.guest_runs()[0].timeout, "9");
  EXPECT_FALSE(module->owed_after_script.has_value());
}

}  // namespace
}  // namespace veil_vm_test
