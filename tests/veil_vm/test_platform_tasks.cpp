// A clean-up asks to detach or remove a disk only once the tasks this run started on it have
// ended: asked while the disk is locked, the controller refuses the request.
#include "tests/veil_vm/veil_vm_test_support.h"

#include "veil_vm/platform_tasks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace veil_vm_test {
namespace {

using namespace std::chrono_literals;

struct SettleCase {
  bool create;           // a disk is created and then removed; else one is attached and then detached
  bool wait_breaks_off;  // a first wait for that task fails (its poll times out) while it still runs
};

class SettledCleanUp : public ControllerTest, public ::testing::WithParamInterface<SettleCase> {};

TEST_P(SettledCleanUp, AsksForTheChangeOnceTheTaskOnTheDiskHasEnded) {
  const SettleCase& c = GetParam();
  kv_veil::testing::set_pause_for_tests([] { std::this_thread::sleep_for(100ms); });
  controller.add_vdisk(kv_test::TestController::make_vdisk("disk-1", "disk-1", "", 10.0));
  auto module = module_with();
  module->conf.timeout = 1;
  curlAPI api(module->conf);
  KvPlatformTasks tasks;
  std::string task;
  std::string id = "disk-1";
  controller.set_task_duration(3s);
  if (c.create) {
    vdisk disk;
    disk.verbose_name = "copy";
    disk.datapool.id = "pool-1";
    disk.size = disk.virtual_size = "1.0";
    ASSERT_EQ(tasks.create(api, disk, task, id), 0);
  } else {
    ASSERT_EQ(tasks.attach(api, k_module_vm, id, "", task), KvPlatformTasks::Change::accepted);
  }
  controller.set_task_duration(0ms);  // the clean-up's own task ends at its first poll
  if (c.wait_breaks_off) {
    controller.add_fault("GET", "/api/tasks/" + task + "/", kv_test::Fault{kv_test::Fault::Kind::slow, 1500ms, 1});
    EXPECT_NE(tasks.wait(api, task), 0);
  }
  EXPECT_TRUE(c.create ? tasks.remove(api, id) : tasks.detach(api, k_module_vm, id));
  // A single request: none was refused for the lock.
  const std::string path =
      c.create ? "/api/vdisks/" + id + "/remove/" : std::string("/api/domains/") + k_module_vm + "/detach-vdisk/";
  EXPECT_EQ(controller.requests_to("POST", path).size(), 1U);
  EXPECT_EQ(controller.vdisk(id).has_value(), !c.create);
  EXPECT_TRUE(controller.attachments().empty());
}

INSTANTIATE_TEST_SUITE_P(Tasks, SettledCleanUp,
                         ::testing::Values(SettleCase{false, false}, SettleCase{true, false}, SettleCase{false, true}));

class PlatformTasks : public ControllerTest {
 protected:
  void SetUp() override {
    ControllerTest::SetUp();
    controller.add_vdisk(kv_test::TestController::make_vdisk("disk-1", "disk-1", "", 10.0));
  }
  const std::string attach_path = std::string("/api/domains/") + k_module_vm + "/attach-vdisk/";
};

// A refusal ("errors", or a status from 400 to 499) changed nothing; a reply that cannot be read,
// a server error or none at all leaves the outcome open.
TEST_F(PlatformTasks, TellARefusedAttachFromOneWhoseOutcomeIsUnknown) {
  auto module = module_with();
  module->conf.timeout = 1;
  curlAPI api(module->conf);
  KvPlatformTasks tasks;
  const std::pair<kv_test::Fault::Kind, KvPlatformTasks::Change> cases[] = {
      {kv_test::Fault::Kind::error_200, KvPlatformTasks::Change::refused},
      {kv_test::Fault::Kind::not_found, KvPlatformTasks::Change::refused},
      {kv_test::Fault::Kind::html_500, KvPlatformTasks::Change::unknown},
      {kv_test::Fault::Kind::empty_body, KvPlatformTasks::Change::unknown},
      {kv_test::Fault::Kind::slow, KvPlatformTasks::Change::unknown},
  };
  for (const auto& [fault, change] : cases) {
    controller.add_fault("POST", attach_path, kv_test::Fault{fault, 1500ms, 1});
    std::string task;
    EXPECT_EQ(tasks.attach(api, k_module_vm, "disk-1", "", task), change) << static_cast<int>(fault);
  }
}

// A creation answered with a server error has landed: its disk is looked up at once, not after
// one more request time-out as for a reply that never came.
TEST_F(PlatformTasks, ACreationAnsweredWithAServerErrorIsLookedUpAtOnce) {
  auto module = module_with();
  module->conf.timeout = 5;
  curlAPI api(module->conf);
  KvPlatformTasks tasks;
  controller.add_fault("POST", "/api/vdisks/", kv_test::Fault{kv_test::Fault::Kind::html_500, 0ms, 1});
  vdisk disk;
  disk.verbose_name = "copy";
  disk.datapool.id = "pool-1";
  disk.size = disk.virtual_size = "1.0";
  std::string task;
  std::string id;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(tasks.create(api, disk, task, id), 2);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_TRUE(id.empty());
}

// Past a stop's deadline a disk still gets its request, and nothing more: the task it starts is
// not waited for, and the disk is not asked about.
TEST_F(PlatformTasks, PastTheStopsDeadlineADiskGetsItsRequestAndNoWait) {
  controller.add_attachment("disk-1", k_module_vm, "");
  auto module = module_with();
  curlAPI api(module->conf);
  ASSERT_EQ(api.login(), 0);
  KvPlatformTasks tasks;
  kv_veil::testing::set_stop_times_for_tests(100ms, 100ms);
  kv_veil::note_stop();
  std::this_thread::sleep_for(150ms);
  controller.clear_requests();
  EXPECT_FALSE(tasks.detach(api, k_module_vm, "disk-1"));
  kv_veil::set_stop_hook(nullptr);
  kv_veil::testing::set_stop_times_for_tests({}, {});
  const std::vector<kv_test::RecordedRequest> requests = controller.requests();
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_EQ(requests[0].path, std::string("/api/domains/") + k_module_vm + "/detach-vdisk/");
}

// The controller carries out an attach half a second after the client gave up on its reply: the
// clean-up looks at the disk only once the attach has had time to land, and detaches it.
TEST_F(PlatformTasks, DetachAnAttachCarriedOutAfterItsReplyWasLost) {
  kv_veil::testing::set_pause_for_tests([] { std::this_thread::sleep_for(20ms); });
  auto module = module_with();
  module->conf.timeout = 1;
  curlAPI api(module->conf);
  KvPlatformTasks tasks;
  controller.set_task_duration(200ms);
  controller.add_fault("POST", attach_path, kv_test::Fault{kv_test::Fault::Kind::late, 1500ms, 1});
  std::string task;
  ASSERT_EQ(tasks.attach(api, k_module_vm, "disk-1", "", task), KvPlatformTasks::Change::unknown);
  EXPECT_TRUE(tasks.detach(api, k_module_vm, "disk-1"));
  controller.wait_for_tasks();
  EXPECT_TRUE(controller.attachments().empty());
}

// A task that never ends is polled to the bound once in the run; the clean-up does not wait for
// it again and leaves its disk as it is, naming both.
TEST_F(PlatformTasks, WaitForATaskThatNeverEndsOnceAndLeaveItsDisk) {
  auto module = module_with();
  curlAPI api(module->conf);
  KvPlatformTasks tasks;
  controller.hang_task("task-1");
  std::string task;
  ASSERT_EQ(tasks.attach(api, k_module_vm, "disk-1", "", task), KvPlatformTasks::Change::accepted);
  EXPECT_NE(tasks.wait(api, task), 0);
  EXPECT_FALSE(tasks.detach(api, k_module_vm, "disk-1"));
  EXPECT_EQ(controller.task_polls(task), curlAPI::k_max_task_polls);
  const std::vector<std::string> lines = errors();
  EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                         [](const std::string& line) {
                           return line.find(": vdisk 'disk-1' is left as it is: the task 'task-1' on it has not "
                                            "ended") != std::string::npos;
                         }),
            lines.end());
}

}  // namespace
}  // namespace veil_vm_test
