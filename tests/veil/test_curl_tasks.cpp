#include "veil/curl_api.h"

#include "tests/support/test_controller.h"
#include "tests/veil/veil_test_support.h"
#include "veil/stop_points.h"

#include <gtest/gtest.h>

namespace {

using kv_test::Fault;
using kv_test::TestController;
using kv_veil_test::FastPolling;
using kv_veil_test::LogCapture;

constexpr const char* k_wait_sig = "int curlAPI::wait_for_task_completion(const string&)";

TEST(AsyncReply, TaskIdAndEntityReaders) {
  struct Case {
    const char* reply;
    int task_result;    // of get_task_id
    int entity_result;  // of get_entity_and_task_id
    const char* message;
  };
  const Case cases[] = {
      {R"({"entity": "e-1", "_task": {"id": "t-1"}})", 0, 0, ""},
      {"{}", 6, 7, " object is empty"},
      {R"({"entity": "e-1", "_task": {}})", 6, 7, ": json object is empty. Expected task info"},
      {R"({"entity": "e-1", "_task": {"id": "t"}, "errors": []})", 6, 7, " completed with error"},
      {R"({"_task": {"id": "t-1"}})", 0, 7, ": id for created entity is empty string"},
      {R"({"entity": "e-1", "_task": {"id": 7}})", 6, 7, ": exception:not a string"},
      {R"({"entity": "e-1", "_task": {"id": "t\nMAIN"}})", 6, 7, ": the reply holds an unusable task id: 't\\nMAIN'"},
      {R"({"entity": "../e", "_task": {"id": "t-1"}})", 0, 7, ": the reply holds an unusable entity id: '../e'"},
  };
  for (const Case& c : cases) {
    curlAPI api(conf{});
    LogCapture log;
    std::string task_id;
    std::string entity;
    EXPECT_EQ(api.get_task_id(c.reply, task_id), c.task_result) << c.reply;
    EXPECT_EQ(api.get_entity_and_task_id(c.reply, entity, task_id), c.entity_result) << c.reply;
    EXPECT_TRUE(log.contains(c.message)) << c.reply << log.text();
  }
}

class TaskWait : public ::testing::Test {
 protected:
  void SetUp() override { controller.start(); }
  int wait(const std::string& task_id) {
    curlAPI api(kv_veil_test::settings_for(controller));
    return api.wait_for_task_completion(task_id);
  }
  FastPolling fast;
  TestController controller;
};

TEST_F(TaskWait, OnlySuccessEndsTheWaitWell) {
  const std::pair<std::string, std::string> statuses[] = {
      {"FAILED", "FAILED"}, {"success", "success"}, {"X\nMAIN ARCHIVE FILENAME:", "X\\nMAIN ARCHIVE FILENAME:"}};
  for (const auto& [status, shown] : statuses) {
    const std::string id = controller.add_task({std::string("IN_PROGRESS"), status});
    LogCapture log;
    EXPECT_EQ(wait(id), 1) << status;
    EXPECT_TRUE(log.contains(std::string(k_wait_sig) + ": task '" + id + "' has unexpected status: '" + shown + "'"));
    EXPECT_EQ(controller.task_polls(id), 2);
  }
  for (const Fault::Kind fault : {Fault::Kind::not_found, Fault::Kind::error_200}) {
    const std::string id = controller.add_task();
    controller.add_fault("GET", "/api/tasks/" + id + "/", Fault{fault});
    LogCapture log;
    EXPECT_EQ(wait(id), 1);
    EXPECT_TRUE(log.contains(std::string(k_wait_sig) + ": unable to get status of the task: '" + id + "'"));
  }
  // A status that is not a string is reported as a JSON error, as every reader reports one.
  controller.set_reply("GET", "/api/tasks/t-number/", 200, R"({"id": "t-number", "status": 3})");
  LogCapture log;
  EXPECT_EQ(wait("t-number"), 1);
  EXPECT_TRUE(log.contains("int curlAPI::get_task_status(const string&, std::string&): boost::json: ")) << log.text();
}

TEST_F(TaskWait, ThreeHundredPollsAtMost) {
  TestController::TaskSchedule just_in_time(299, std::string("IN_PROGRESS"));
  just_in_time.push_back(std::string("SUCCESS"));
  const std::string done = controller.add_task(just_in_time);
  EXPECT_EQ(wait(done), 0);
  EXPECT_EQ(controller.task_polls(done), 300);

  const std::string never = controller.add_task({std::string("IN_PROGRESS")});
  LogCapture log;
  EXPECT_EQ(wait(never), 1);
  EXPECT_EQ(controller.task_polls(never), 300);
  EXPECT_TRUE(log.contains(std::string(k_wait_sig) + ": the task '" + never +
                           "' has not reached the 'SUCCESS' state, break by timeout 300"));
}

TEST_F(TaskWait, AStopRequestInterruptsThePolling) {
  const std::string id = controller.add_task({std::string("IN_PROGRESS")});
  kv_veil::set_stop_hook([] { return true; });
  LogCapture log;
  const int result = wait(id);
  kv_veil::set_stop_hook(nullptr);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(controller.task_polls(id), 0);
  EXPECT_TRUE(log.contains(std::string(k_wait_sig) + ": waiting for the task '" + id + "' was interrupted"));
}

}  // namespace
