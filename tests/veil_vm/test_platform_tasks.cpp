// A clean-up asks to detach or remove a disk only once the tasks this run started on it have
// ended: asked while the disk is locked, the controller refuses the request.
#include "tests/veil_vm/veil_vm_test_support.h"

#include "veil_vm/platform_tasks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

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
    ASSERT_EQ(tasks.create(api, module->conf.url, disk, task, id), 0);
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

}  // namespace
}  // namespace veil_vm_test
