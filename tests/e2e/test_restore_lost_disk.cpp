// What a failed restore leaves on the platform when a request of it fails or its reply is lost:
// the disks it surely made are detached and removed, a disk that may be another's is left and
// named for the operator.
#include "tests/e2e/test_restore_fixture.h"

#include <chrono>
#include <set>
#include <string>
#include <vector>

namespace kv_test {
namespace {

constexpr const char* k_record = "rec-lost";
constexpr const char* k_source_vm_id = "5c3b1e02-0000-4000-8000-000000000701";
constexpr const char* k_lost_sig = "std::string find_lost_vdisk(curlAPI&, const vdisk&)";

class RestoreLeftovers : public ::testing::Test {
 protected:
  // The backup of a VM with one disk of that name; the VM and the disk are still on the platform.
  void back_up_a_disk_named(const std::string& name) {
    const std::vector<SavedDisk> disks = {
        {"d15c0071-0000-4000-8000-000000000071", name, "vdb", true, disk_content(1 << 20, 'w')}};
    p.add_source_vm(k_source_vm_id, "web", disks, false);
    p.store_backup(k_record, RestorePlatform::saved_vm(k_source_vm_id, "web", disks, false), disks);
  }

  // Requests time out after two seconds, and the reply to the disk creation comes after four:
  // the controller has made the disk by then.
  void lose_the_creation_reply() {
    write_file(p.sandbox.opt("etc/kv_module_veil_vm.conf"), "url " + p.controller.url() +
                                                                "\nusername kv-api\npassword kv-secret\ntimeout 2\n"
                                                                "kelvanor-vm-name " + k_module_vm_name + "\n");
    p.controller.add_fault("POST", "/api/vdisks/", Fault{Fault::Kind::slow, std::chrono::milliseconds(4000), 1});
  }

  std::set<std::string> vdisk_ids() const {
    std::set<std::string> ids;
    for (const auto& disk : p.controller.vdisks()) ids.insert(std::string(disk.at("id").as_string()));
    return ids;
  }

  size_t removals() const {
    size_t count = 0;
    for (const auto& request : p.controller.requests())
      if (request.method == "POST" && request.path.rfind("/api/vdisks/", 0) == 0 &&
          request.path.find("/remove/") != std::string::npos)
        ++count;
    return count;
  }

  RestorePlatform p;
};

TEST_F(RestoreLeftovers, TheDiskOfALostCreationReplyIsFoundBeyondTheFirstPageAndRemoved) {
  back_up_a_disk_named("web\\data");
  for (int i = 0; i < 150; ++i)
    p.controller.add_vdisk(TestController::make_vdisk("other-" + std::to_string(i), "other", "", 1.0));
  const std::set<std::string> before = vdisk_ids();
  lose_the_creation_reply();
  const ProgramResult result = p.sandbox.run(p.restore_args(k_record));
  EXPECT_EQ(result.status, 7) << result.out << result.err << p.failure_context();

  EXPECT_EQ(p.controller.requests_to("POST", "/api/vdisks/").size(), 1u);
  EXPECT_EQ(removals(), 1u);
  EXPECT_TRUE(p.new_vdisks(before).empty()) << p.failure_context();
  EXPECT_EQ(vdisk_ids(), before);
  EXPECT_FALSE(contains(result.err, k_lost_sig)) << result.err;
}

TEST_F(RestoreLeftovers, ADiskOfTheSameNameMadeByAnotherMeanwhileIsLeftAndNamed) {
  back_up_a_disk_named("web-data");
  const std::set<std::string> before = vdisk_ids();
  p.controller.set_rival_vdisk({{"description", "made by another client"}});
  lose_the_creation_reply();
  const ProgramResult result = p.sandbox.run(p.restore_args(k_record));
  EXPECT_EQ(result.status, 7) << result.out << result.err << p.failure_context();

  // The other client's disk took the name first, so the request itself was refused.
  const auto left = p.new_vdisks(before);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].at("description"), "made by another client");
  EXPECT_EQ(removals(), 0u);
  const std::string id(left[0].at("id").as_string());
  EXPECT_TRUE(contains(result.err, std::string(k_lost_sig) + ": the vdisk \"web-data_2\"")) << result.err;
  EXPECT_TRUE(contains(result.err, "left on the platform for the operator: vdisk '" + id + "' named \"web-data_2\""))
      << result.err;
}

TEST_F(RestoreLeftovers, AFailedDetachOfTheFilledDisksDetachesAndRemovesThemBeforeTheFailure) {
  back_up_a_disk_named("web-data");
  const std::set<std::string> before = vdisk_ids();
  Fault refused{Fault::Kind::errors_reply};
  refused.times = 3;  // every attempt of the detach after the copy
  p.controller.add_fault("POST", std::string("/api/domains/") + k_module_vm_id + "/detach-vdisk/", refused);
  const ProgramResult result = p.sandbox.run(p.restore_args(k_record));
  EXPECT_EQ(result.status, 7) << result.out << result.err << p.failure_context();

  EXPECT_EQ(p.dd_runs().size(), 1u);
  EXPECT_TRUE(p.new_vdisks(before).empty()) << p.failure_context();
  EXPECT_TRUE(p.attachments_to(k_module_vm_id).empty());
  EXPECT_TRUE(p.devices.attached().empty());
  EXPECT_TRUE(p.controller.requests_to("POST", "/api/domains/multi-create-domain/").empty());
}

}  // namespace
}  // namespace kv_test
