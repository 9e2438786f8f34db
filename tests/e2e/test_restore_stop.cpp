// A restore stopped with SIGTERM while it fills the new disks: the program ends with 17, removes
// its restore directory and leaves no new disk on the module's VM or the platform.
#include "tests/e2e/test_restore_fixture.h"

#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace kv_test {
namespace {

constexpr const char* k_record = "rec-stop";
constexpr const char* k_source_vm_id = "5c3b1e02-0000-4000-8000-000000000401";

bool wait_until(const std::function<bool()>& condition, int timeout_ms = 60000) {
  for (int waited = 0; waited < timeout_ms; waited += 20) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

class RestoreStop : public ::testing::Test {
 protected:
  void SetUp() override {
    p.store_backup(k_record, RestorePlatform::saved_vm(k_source_vm_id, "web", disks, true), disks);
  }

  // Stops the run and checks what it leaves behind.
  void stop_and_check(RunningProgram& run) {
    run.send(SIGTERM);
    const ProgramResult result = run.wait(120);
    EXPECT_EQ(result.status, 17) << result.out << result.err << p.failure_context();
    EXPECT_TRUE(contains(p.sandbox.log(), "Module was terminated. PID: ")) << p.failure_context();
    EXPECT_FALSE(boost::filesystem::exists(p.restore_directory(k_record)));
    EXPECT_TRUE(boost::filesystem::is_directory(p.operation_directory()));
    EXPECT_TRUE(p.attachments_to(k_module_vm_id).empty());
    EXPECT_TRUE(p.devices.attached().empty());
    EXPECT_TRUE(p.new_vdisks({}).empty()) << p.failure_context();
    EXPECT_TRUE(p.controller.requests_to("POST", "/api/domains/multi-create-domain/").empty());
  }

  std::vector<SavedDisk> disks = {
      {"d15c0031-0000-4000-8000-000000000031", "web-data", "vdb", false, disk_content(1 << 20, 'd')},
      {"d15c0032-0000-4000-8000-000000000032", "web-system", "vdc", true, disk_content(1 << 20, 's')}};
  RestorePlatform p;
};

TEST_F(RestoreStop, WhileTheSecondDiskIsAwaitedAsABlockDevice) {
  p.show_only_first_attachments(1);
  RunningProgram run = p.sandbox.start(p.restore_args(k_record));
  ASSERT_TRUE(wait_until([&] { return p.attachments_to(k_module_vm_id).size() == 2; })) << p.failure_context();
  ASSERT_EQ(p.dd_runs().size(), 1u);
  stop_and_check(run);
}

TEST_F(RestoreStop, WhileAnImageIsCopied) {
  p.hold_dd();
  RunningProgram run = p.sandbox.start(p.restore_args(k_record));
  ASSERT_TRUE(p.wait_for_dd_waiting()) << p.failure_context();
  ASSERT_EQ(p.attachments_to(k_module_vm_id).size(), 1u);
  stop_and_check(run);
}

}  // namespace
}  // namespace kv_test
