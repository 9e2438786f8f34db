// The restore's inner routines inside the test process: the saved files, the dd command, the
// block size parameter, the VM creation against a test controller, and archiving.
#include "tests/module/module_test_support.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_controller.h"
#include "tests/veil_vm/veil_vm_test_support.h"
#include "veil/curl_api.h"
#include "veil/saved_config.h"
#include "veil/stop_points.h"
#include "veil_vm/kv_module_veil_vm.h"

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace veil_vm_test {
namespace {

using kv_test::TestController;

constexpr const char* k_fill_domain_sig = "int KvModuleVeilVM::fill_domain_config(domain_conf&)";
constexpr const char* k_fill_vdisk_sig = "int KvModuleVeilVM::fill_vdisk_config(const string&, vdisk&)";
constexpr const char* k_deploy_vm_sig = "static int KvModuleVeilVM::deploy_vm(const string&, curlAPI*, domain_conf&)";
constexpr const char* k_deployment_sig = "virtual bool KvModuleVeilVM::deployment(const bool&)";
constexpr const char* k_archiving_sig = "virtual void KvModuleVeilVM::make_archiving()";

class RestoreModule : public KvModuleVeilVM {
 public:
  explicit RestoreModule(const KvModuleOptions& options) : KvModuleVeilVM(options) {}

  using KvModuleVeilVM::conf;
  using KvModuleVeilVM::copy_image_command;
  using KvModuleVeilVM::dd_block_size;
  using KvModuleVeilVM::deploy_vm;
  using KvModuleVeilVM::domain_verbose_name;
  using KvModuleVeilVM::fill_domain_config;
  using KvModuleVeilVM::fill_vdisk_config;
  using KvModuleVeilVM::is_plain_device_name;
  using KvModuleVeilVM::read_dd_block_size;
  using KvModuleVeilVM::special_params;
};

::domain_conf vm_record(const std::string& id, const std::string& name) {
  ::domain_conf domain;
  EXPECT_EQ(curlAPI::read_domain_config(boost::json::serialize(TestController::make_vm(id, name)), domain), 0);
  return domain;
}

vdisk vdisk_record(const std::string& id, const std::string& name) {
  vdisk disk;
  EXPECT_EQ(curlAPI::read_vdisk_info(boost::json::serialize(TestController::make_vdisk(id, name, "", 2.0)), disk), 0);
  return disk;
}

// The words /bin/sh makes of a command line, one per line.
std::vector<std::string> shell_words(const std::string& command) {
  const std::string script = "set -- " + command + "; for w in \"$@\"; do printf '%s\\n' \"$w\"; done";
  std::string quoted = "'";
  for (char c : script) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
  FILE* pipe = popen(("/bin/sh -c " + quoted).c_str(), "r");
  std::vector<std::string> words;
  std::string word;
  for (int c = fgetc(pipe); c != EOF; c = fgetc(pipe)) {
    if (c != '\n') {
      word += static_cast<char>(c);
      continue;
    }
    words.push_back(word);
    word.clear();
  }
  EXPECT_EQ(pclose(pipe), 0);
  return words;
}

class SavedFiles : public module_test::ModuleTest {
 protected:
  std::unique_ptr<RestoreModule> module_in(const std::string& directory) {
    KvModuleOptions options;
    options.tmp_operation_directory = directory;
    return std::make_unique<RestoreModule>(options);
  }
};

TEST_F(SavedFiles, TheVmAndDiskConfigurationsReadBackAsSaved) {
  ::domain_conf saved = vm_record("5c3b1e02-0000-4000-8000-000000000101", "web");
  saved.available_vdisks = {"d15c-1", "d15c-2"};
  saved.boot_devices = {{"d15c-2", "vdisk", 0}, {"c0c0", "cdrom", 0}};
  vdisk saved_disk = vdisk_record("d15c-1", "web data");
  saved_disk.target_dev = "vdc";
  saved_disk.is_boot = true;
  kv_test::write_file(dir() + "/vm.config", kv_veil::to_archive_text(saved));
  kv_test::write_file(dir() + "/d15c-1.conf", kv_veil::to_archive_text(saved_disk));

  auto module = module_in(dir());
  ::domain_conf domain = vm_record("other", "other");
  domain.available_vdisks = {"left over"};
  ASSERT_EQ(module->fill_domain_config(domain), 0);
  EXPECT_TRUE(domain == saved);
  vdisk disk;
  ASSERT_EQ(module->fill_vdisk_config("d15c-1", disk), 0);
  EXPECT_TRUE(disk == saved_disk);
  EXPECT_TRUE(errors().empty());
}

TEST_F(SavedFiles, AMissingOrDamagedFileIsReportedWithItsPath) {
  auto module = module_in(dir());
  ::domain_conf domain;
  vdisk disk;
  EXPECT_EQ(module->fill_domain_config(domain), 7);
  EXPECT_EQ(module->fill_vdisk_config("d15c-9", disk), 7);
  ASSERT_EQ(errors().size(), 2u);
  EXPECT_EQ(errors()[0], std::string(k_fill_domain_sig) + ": " + dir() + "/vm.config doesn't exist");
  EXPECT_EQ(errors()[1], std::string(k_fill_vdisk_sig) + ": " + dir() + "/d15c-9.conf doesn't exist");

  // A disk record where the VM's is expected, and a truncated one.
  const std::string disk_text = kv_veil::to_archive_text(vdisk_record("d15c-1", "data"));
  kv_test::write_file(dir() + "/vm.config", disk_text);
  kv_test::write_file(dir() + "/d15c-1.conf", disk_text.substr(0, disk_text.size() / 2));
  EXPECT_EQ(module->fill_domain_config(domain), 7);
  EXPECT_EQ(module->fill_vdisk_config("d15c-1", disk), 7);
  ASSERT_EQ(errors().size(), 4u);
  EXPECT_EQ(errors()[2].rfind(std::string(k_fill_domain_sig) + ": exception:", 0), 0u) << errors()[2];
  EXPECT_EQ(errors()[3].rfind(std::string(k_fill_vdisk_sig) + ": exception:", 0), 0u) << errors()[3];

  // A saved disk id names a file: one that could leave the restore directory is refused.
  ::domain_conf forged = vm_record("5c3b1e02-0000-4000-8000-000000000101", "web");
  forged.available_vdisks = {"d15c-1", "../../x"};
  kv_test::write_file(dir() + "/vm.config", kv_veil::to_archive_text(forged));
  EXPECT_EQ(module->fill_domain_config(domain), 7);
  EXPECT_EQ(errors().back(), std::string(k_fill_domain_sig) + ": the saved disk id '../../x' is not a plain identifier");
}

TEST(RestoreDeviceName, OnlyBareKernelNamesAreAccepted) {
  const std::pair<const char*, bool> cases[] = {
      {"vdb", true},         {"vdaa", true},  {"sd-b_1", true},     {"nvme0n1", true}, {"", false},
      {"../etc/passwd", false}, {"vdb c", false}, {"vdb;reboot", false}, {"$(id)", false}, {"vd\nb", false},
      {"/dev/vdb", false},   {".", false},    {"vdb\"", false},
  };
  for (const auto& [name, plain] : cases) EXPECT_EQ(RestoreModule::is_plain_device_name(name), plain) << name;
}

TEST(RestoreCopyCommand, EachPathStaysOneWordAndTheCopyIsFlushed) {
  const std::string image = "/var/tmp/op dir/it's $(id) `x` \"q\"/vdb";
  const std::string command = RestoreModule::copy_image_command(image, "vdc", 7);
  ASSERT_EQ(command.rfind("/bin/dd ", 0), 0u) << command;
  EXPECT_EQ(shell_words(command.substr(8)),
            (std::vector<std::string>{"if=" + image, "of=/dev/vdc", "bs=7M", "conv=fsync"}));
  EXPECT_EQ(RestoreModule::copy_image_command("/r/vdb", "vdb", 5), "/bin/dd if=/r/vdb of=/dev/vdb bs=5M conv=fsync");
}

class BlockSize : public module_test::ModuleTest {};

TEST_F(BlockSize, TheParameterIsReadAsAtoiReadsIt) {
  const struct {
    const char* value;
    uint32_t used;
  } cases[] = {{"1", 1}, {"100", 100}, {" 42", 42}, {"7MB", 7}, {"0", 5}, {"101", 5}, {"-1", 5}, {"big", 5}};
  for (const auto& c : cases) {
    RestoreModule module({});
    module.dd_block_size = 9;
    module.special_params["dd_block_size"] = c.value;
    module.read_dd_block_size();
    EXPECT_EQ(module.dd_block_size, c.used) << c.value;
  }
  EXPECT_EQ(warnings(), (std::vector<std::string>{
                            std::string(k_deployment_sig) + ": Invalid dd_block_size value: 0, using default "
                                                            "dd_block_size value:5",
                            std::string(k_deployment_sig) + ": Invalid dd_block_size value: 101, using default "
                                                            "dd_block_size value:5",
                            std::string(k_deployment_sig) + ": Invalid dd_block_size value: 4294967295, using default "
                                                            "dd_block_size value:5",
                            std::string(k_deployment_sig) + ": Invalid dd_block_size value: 0, using default "
                                                            "dd_block_size value:5"}));

  // Absent or empty, the block size stays as it is.
  RestoreModule module({});
  module.dd_block_size = 9;
  module.read_dd_block_size();
  module.special_params["dd_block_size"] = "";
  module.read_dd_block_size();
  EXPECT_EQ(module.dd_block_size, 9u);
}

// A controller of its own, and polls that do not wait.
class PlatformTest : public module_test::ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    kv_veil::testing::set_pause_for_tests([] {});
    controller.start();
    controller.add_vm(TestController::make_vm("5c3b1e02-0001", "web"));
  }
  void TearDown() override {
    kv_veil::testing::set_pause_for_tests(nullptr);
    ModuleTest::TearDown();
  }

  std::unique_ptr<curlAPI> logged_in() {
    auto api = std::make_unique<curlAPI>(settings_for(controller, "kv-proxy"));
    EXPECT_EQ(api->login(), 0);
    return api;
  }

  TestController controller;
};

using DeployVm = PlatformTest;

TEST_F(DeployVm, CreatesTheVmUnderAFreeNameWithTheBootDisk) {
  controller.add_vm(TestController::make_vm("5c3b1e02-0002", "web_2"));
  controller.add_vdisk(TestController::make_vdisk("d15c-new", "web system_2", "", 2.0));
  auto api = logged_in();
  ::domain_conf domain = vm_record("5c3b1e02-0001", "web");

  ASSERT_EQ(RestoreModule::deploy_vm("d15c-new", api.get(), domain), 0);
  EXPECT_EQ(domain.verbose_name, "web_3");
  ASSERT_TRUE(controller.vm(domain.id).has_value());
  EXPECT_EQ(controller.vm(domain.id)->at("verbose_name").as_string(), "web_3");
  const auto requests = controller.requests_to("POST", "/api/domains/multi-create-domain/");
  ASSERT_EQ(requests.size(), 1u);
  const boost::json::value body = boost::json::parse(requests[0].body);
  EXPECT_EQ(body.at("vdisks").at(0).at("vdisk").as_string(), "d15c-new");
  EXPECT_EQ(body.at("datapool").as_string(), "1f2e3d4c-0000-4000-8000-000000000007");
  EXPECT_EQ(log_at("Info").back(), "Domain 'web_3' was created successfully, domain ID: '" + domain.id + "'");
}

TEST_F(DeployVm, FailuresEndWithSevenAndTheirLine) {
  auto api = logged_in();
  ::domain_conf domain = vm_record("5c3b1e02-0001", "web");
  EXPECT_EQ(RestoreModule::deploy_vm("", nullptr, domain), 7);
  EXPECT_EQ(errors().back(), std::string(k_deploy_vm_sig) + ": curlAPI object is empty");

  EXPECT_EQ(RestoreModule::deploy_vm("d15c-gone", api.get(), domain), 7);
  EXPECT_EQ(errors().back(), std::string(k_deploy_vm_sig) + ": unable to get info for vdisk 'd15c-gone'");

  controller.add_fault("POST", "/api/domains/multi-create-domain/", kv_test::Fault{});
  domain = vm_record("5c3b1e02-0001", "web");
  EXPECT_EQ(RestoreModule::deploy_vm("", api.get(), domain), 7);
  EXPECT_EQ(errors().back(), std::string(k_deploy_vm_sig) + ": unable to create domain 'web_2'");
  controller.clear_faults();

  controller.set_task_schedule({std::string("FAILED")});
  domain = vm_record("5c3b1e02-0001", "web");
  EXPECT_EQ(RestoreModule::deploy_vm("", api.get(), domain), 7);
  EXPECT_EQ(errors().back(), std::string(k_deploy_vm_sig) + ": unable to create domain 'web_2'");
}

class Archiving : public PlatformTest {
 protected:
  std::unique_ptr<RestoreModule> module_for(const std::string& password = "kv-secret") {
    KvModuleOptions options;
    options.resource = "5c3b1e02-0001";
    auto module = std::make_unique<RestoreModule>(options);
    module->conf = settings_for(controller, "kv-proxy");
    module->conf.password = password;
    module->domain_verbose_name = "web";
    return module;
  }
};

TEST_F(Archiving, DeletesTheBackedUpVmAndWaitsForIt) {
  module_for()->make_archiving();
  EXPECT_FALSE(controller.vm("5c3b1e02-0001").has_value());
  const auto removals = controller.requests_to("POST", "/api/domains/5c3b1e02-0001/remove/");
  ASSERT_EQ(removals.size(), 1u);
  EXPECT_EQ(boost::json::parse(removals[0].body).at("full").as_string(), "true");
  EXPECT_TRUE(errors().empty());
  const auto info = log_at("Info");
  ASSERT_GE(info.size(), 2u);
  EXPECT_EQ(info.front(), "Archive (delete) the domain: 5c3b1e02-0001");
  EXPECT_EQ(info.back(), "Domain 'web' was deleted successfully,");
}

TEST_F(Archiving, FailuresAreOnlyLogged) {
  module_for("wrong password")->make_archiving();
  EXPECT_EQ(errors().back(), std::string(k_archiving_sig) + ": unable to get status of domain web");
  EXPECT_TRUE(controller.requests_to("POST", "/api/domains/5c3b1e02-0001/remove/").empty());

  controller.add_fault("POST", "/api/domains/5c3b1e02-0001/remove/", kv_test::Fault{});
  module_for()->make_archiving();
  EXPECT_EQ(errors().back(), std::string(k_archiving_sig) + ": unable delete: web");
  controller.clear_faults();

  controller.set_task_schedule({std::string("FAILED")});
  module_for()->make_archiving();
  EXPECT_EQ(errors().back(), std::string(k_archiving_sig) + ": unable to delete domain 'web'");
  EXPECT_TRUE(controller.vm("5c3b1e02-0001").has_value());
  for (const auto& line : log_at("Info")) EXPECT_EQ(line.find("was deleted successfully"), std::string::npos);
}

}  // namespace
}  // namespace veil_vm_test
