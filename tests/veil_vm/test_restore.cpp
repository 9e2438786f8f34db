// The restore's and the archiving's rules inside the test process: a missing restore directory, a
// saved disk id that could leave the restore directory, and a platform task that fails after its
// request was accepted.
#include "tests/support/temp_dir.h"
#include "tests/veil_vm/veil_vm_test_support.h"
#include "veil/curl_api.h"
#include "veil/saved_config.h"

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace veil_vm_test {
namespace {

using kv_test::TestController;

constexpr const char* k_vm = "5c3b1e02-0001";

class RestoreRules : public ControllerTest {
 protected:
  ::domain_conf vm_record() {
    ::domain_conf domain;
    EXPECT_EQ(curlAPI::read_domain_config(boost::json::serialize(TestController::make_vm(k_vm, "web")), domain), 0);
    return domain;
  }
};

TEST_F(RestoreRules, ASavedDiskIdThatIsNotAPlainIdentifierIsRefused) {
  ::domain_conf forged = vm_record();
  forged.available_vdisks = {"d15c-1", "../../x\nMAIN"};
  kv_test::write_file(dir() + "/vm.config", kv_veil::to_archive_text(forged));
  KvModuleOptions options;
  options.tmp_operation_directory = dir();
  ::domain_conf domain;
  EXPECT_EQ(TestableModule(options).fill_domain_config(domain), 7);
  EXPECT_EQ(errors(), std::vector<std::string>{"int KvModuleVeilVM::fill_domain_config(domain_conf&): the saved "
                                               "disk id '../../x\\nMAIN' is not a plain identifier"});
}

TEST_F(RestoreRules, AMissingRestoreDirectoryFailsBeforeTheDataMover) {
  KvModuleOptions options;
  options.tmp_operation_directory = dir() + "/missing";
  EXPECT_FALSE(TestableModule(options).before_restore());
}

TEST_F(RestoreRules, AFailedTaskFailsTheVmCreationAndTheArchiving) {
  controller.add_vm(TestController::make_vm(k_vm, "web"));
  controller.set_task_schedule({std::string("FAILED")});
  auto module = module_with();
  curlAPI api(module->conf);
  ASSERT_EQ(api.login(), 0);
  ::domain_conf domain = vm_record();
  EXPECT_EQ(TestableModule::deploy_vm("", &api, domain), 7);
  const auto logged = [this](const std::string& line) {
    const auto lines = errors();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  EXPECT_TRUE(logged("static int KvModuleVeilVM::deploy_vm(const string&, curlAPI*, domain_conf&): unable to create "
                     "domain 'web_2'"));

  module->options_.resource = k_vm;
  module->domain_verbose_name = "web";
  module->make_archiving();
  EXPECT_TRUE(logged("virtual void KvModuleVeilVM::make_archiving(): unable to delete domain 'web'"));
  EXPECT_NE(log_at("Info").back(), "Domain 'web' was deleted successfully,");
}

TEST_F(RestoreRules, AnAttachWhoseReplyIsLostStillRemovesTheNewDisk) {
  ::domain_conf saved = vm_record();
  saved.available_vdisks = {"d15c-1"};
  kv_test::write_file(dir() + "/vm.config", kv_veil::to_archive_text(saved));
  vdisk disk;
  ASSERT_EQ(curlAPI::read_vdisk_info(boost::json::serialize(TestController::make_vdisk("d15c-1", "data", k_vm, 0.1)),
                                     disk),
            0);
  disk.target_dev = "vdb";
  kv_test::write_file(dir() + "/d15c-1.conf", kv_veil::to_archive_text(disk));
  kv_test::write_file(dir() + "/vdb", "image");
  KvModuleOptions options;
  options.tmp_operation_directory = dir();
  auto module = module_with(options);
  module->conf.timeout = 1;
  // The attach request's reply comes too late, after the attach was carried out.
  controller.add_fault("POST", std::string("/api/domains/") + k_module_vm + "/attach-vdisk/",
                       kv_test::Fault{kv_test::Fault::Kind::slow, std::chrono::milliseconds(3000), 1});
  EXPECT_FALSE(module->deployment(false));
  EXPECT_TRUE(controller.vdisks().empty());
  EXPECT_TRUE(controller.attachments().empty());
}

}  // namespace
}  // namespace veil_vm_test
