#include "veil/curl_api.h"

#include "tests/support/test_controller.h"
#include "tests/veil/veil_test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <regex>

namespace {

using kv_test::TestController;
using kv_veil_test::LogCapture;

constexpr const char* k_vm = "e0d1c2b3-0000-4000-8000-0000000000aa";
constexpr const char* k_old_id = "0ld0d15c-0000-4000-8000-000000000001";

class Disks : public ::testing::Test {
 protected:
  void SetUp() override {
    controller.start();
    controller.add_vm(TestController::make_vm(k_vm, "kelvanor"));
    for (const char* id : {"d1", "d2"}) controller.add_vdisk(TestController::make_vdisk(id, id, "", 10.0));
    api = std::make_unique<curlAPI>(kv_veil_test::settings_for(controller));
  }
  std::string posted(const std::string& path) { return controller.requests_to("POST", path).at(0).body; }
  // A disk as a restore holds it: loaded from a backup, with the original's id.
  static vdisk saved_disk(const std::string& name) {
    vdisk disk;
    disk.id = k_old_id;
    disk.verbose_name = name;
    disk.datapool.id = "pool";
    disk.size = "20.0";
    return disk;
  }
  kv_veil_test::FastPolling fast;
  TestController controller;
  std::unique_ptr<curlAPI> api;
};

TEST_F(Disks, CreateVdiskTakesAFreeNameAndTheNewIdOrKeepsNoId) {
  vdisk disk = saved_disk("d1");
  disk.description = "say \"x\" \\n";  // quote-stripped text: a quote, and a line break escaped
  std::string task;
  ASSERT_EQ(api->create_vdisk(disk, task), 0);
  EXPECT_EQ(disk.verbose_name, "d1_2");
  EXPECT_TRUE(controller.vdisk(disk.id).has_value());
  EXPECT_EQ(controller.requests_to("POST", "/api/vdisks/").at(0).target, "/api/vdisks/?async=1");
  EXPECT_EQ(posted("/api/vdisks/"), R"({"description": "say \"x\" \n", "verbose_name": "d1_2", )"
                                    R"("preallocation": false, "datapool": "pool", "size": 20.0, )"
                                    R"("virtual_size": null, "preallocation_type": "falloc"})");
  EXPECT_EQ(api->wait_for_task_completion(task), 0);

  // Accepted without an entity: the original's id must not pass for the new disk's.
  controller.set_reply("POST", "/api/vdisks/", 200, R"({"_task": {"id": "task-77"}})");
  disk = saved_disk("other");
  task.clear();
  LogCapture log;
  EXPECT_EQ(api->create_vdisk(disk, task), 7);
  EXPECT_EQ(disk.id, k_old_id);
  EXPECT_TRUE(task.empty());
  EXPECT_TRUE(log.contains(": the following POST request produced an error: '{\"description\": \"\", "));
}

TEST_F(Disks, RemoveAndDeleteSendTheirBodies) {
  std::string task;
  ASSERT_EQ(api->remove_vdisk("d1", task), 0);
  ASSERT_EQ(api->wait_for_task_completion(task), 0);
  EXPECT_FALSE(controller.vdisk("d1").has_value());
  EXPECT_EQ(posted("/api/vdisks/d1/remove/"), R"({"force": false, "guaranteed": false, "clean_type": "zero", )"
                                              R"("clean_count": 1})");
  EXPECT_EQ(api->remove_vdisk("d1", task), 6);

  // A new key for every call: two calls are two distinct removal requests.
  ASSERT_EQ(api->delete_domain(k_vm, task), 0);
  ASSERT_EQ(api->delete_domain(k_vm, task), 0);
  const auto posts = controller.requests_to("POST", "/api/domains/" + std::string(k_vm) + "/remove/");
  const std::regex shape(R"(\{"full":"true", "force" :"false", "idempotency_key":"[-0-9a-f]{36}"\})");
  EXPECT_TRUE(std::regex_match(posts.at(0).body, shape)) << posts[0].body;
  EXPECT_NE(posts.at(0).body, posts.at(1).body);
}

// A disk that does not come off must keep neither the others attached nor itself from removal.
TEST_F(Disks, CleanUpGoesOnAfterAFailedDisk) {
  for (const char* id : {"d1", "d2"}) {
    std::string task;
    ASSERT_EQ(api->operate_with_disk(k_vm, id, "attach", task, ""), 0);
    ASSERT_EQ(api->wait_for_task_completion(task), 0);
  }
  LogCapture log;
  EXPECT_EQ(api->detach_vdisks({"d1", "missing", "d2"}, k_vm), 2);
  EXPECT_TRUE(controller.attachments().empty());
  EXPECT_TRUE(log.contains(": unable to detach vdisk 'missing' from VM '" + std::string(k_vm) + "'"));

  std::string task;
  ASSERT_EQ(api->operate_with_disk(k_vm, "d1", "attach", task, ""), 0);
  ASSERT_EQ(api->wait_for_task_completion(task), 0);
  controller.clear_requests();
  api->detach_and_remove_vdisks({"d1", "d2", "d3"}, k_vm);
  EXPECT_FALSE(controller.vdisk("d1").has_value());
  EXPECT_FALSE(controller.vdisk("d2").has_value());
  EXPECT_TRUE(log.contains(": unable to remove vdisk 'd3'"));
  std::vector<std::string> order;
  for (const auto& request : controller.requests())
    if (request.method == "POST") order.push_back(request.path);
  const std::string detach = "/api/domains/" + std::string(k_vm) + "/detach-vdisk/";
  EXPECT_EQ(order, (std::vector<std::string>{detach, detach, detach, "/api/vdisks/d1/remove/",
                                             "/api/vdisks/d2/remove/", "/api/vdisks/d3/remove/"}));
}

}  // namespace
