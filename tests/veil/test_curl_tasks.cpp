#include "veil/curl_api.h"

#include "tests/support/test_controller.h"
#include "tests/veil/veil_test_support.h"
#include "veil/stop_points.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

namespace {

using kv_test::Fault;
using kv_test::TestController;
using kv_veil_test::FastPolling;
using kv_veil_test::LogCapture;

constexpr const char* k_task_id_sig = "int curlAPI::get_task_id(const string&, std::string&)";
constexpr const char* k_entity_sig = "int curlAPI::get_entity_and_task_id(const string&, std::string&, std::string&)";
constexpr const char* k_wait_sig = "int curlAPI::wait_for_task_completion(const string&)";

struct ReplyCase {
  const char* reply;
  int result;
  const char* task_id;
  const char* message;  // expected after the signature; "" for none
};

TEST(AsyncReply, TaskIdReaderTable) {
  const ReplyCase cases[] = {
      {R"({"_task": {"id": "t-1", "status": "QUEUED"}, "other": 1})", 0, "t-1", ""},
      {"{}", 6, "", ": _task object is empty"},
      {R"({"_task": "t-1"})", 6, "", ": json value is not a 'task' object"},
      {R"({"_task": {}})", 6, "", ": json object is empty. Expected task info"},
      {R"({"_task": {"id": "t-1"}, "errors": []})", 6, "t-1", ": a request completed with error"},
      {R"({"errors": [{"detail": "x"}], "_task": {"id": "t-1"}})", 6, "", ": a request completed with error"},
      {R"({"_task": {"name": "x"}})", 6, "", ": task_id for requested action is empty string"},
      {R"({"_task": {"id": 7}})", 6, "", ": exception:not a string"},
      {"not json", 6, "", ""},
  };
  for (const ReplyCase& c : cases) {
    curlAPI api(conf{});
    LogCapture log;
    std::string task_id;
    EXPECT_EQ(api.get_task_id(c.reply, task_id), c.result) << c.reply;
    EXPECT_EQ(task_id, c.task_id) << c.reply;
    if (*c.message) {
      EXPECT_TRUE(log.contains(std::string(k_task_id_sig) + c.message)) << c.reply << log.text();
    }
  }
}

TEST(AsyncReply, EntityAndTaskIdReaderTable) {
  struct Case {
    const char* reply;
    int result;
    const char* entity;
    const char* message;
  };
  const Case cases[] = {
      {R"({"entity": "e-1", "_task": {"id": "t-1"}})", 0, "e-1", ""},
      {R"({"entity": 42, "_task": {"id": "t-1"}})", 0, "42", ""},
      {R"({"entity": {"id": "e"}, "_task": {"id": "t-1"}})", 0, "{id:e}", ""},
      {"{}", 7, "", ": result object is empty"},
      {R"({"entity": "e-1", "_task": 5})", 7, "e-1", ": json value is not a task object"},
      {R"({"entity": "e-1", "_task": {}})", 7, "e-1", ": json object is empty. Expected task info"},
      {R"({"entity": "e-1", "_task": {"id": "t"}, "errors": {}})", 7, "e-1",
       ": a request to create an entity completed with error"},
      {R"({"_task": {"id": "t-1"}})", 7, "", ": id for created entity is empty string"},
      {R"({"entity": "e-1"})", 7, "e-1", ": task_id for requested action is empty string"},
  };
  for (const Case& c : cases) {
    curlAPI api(conf{});
    LogCapture log;
    std::string entity;
    std::string task_id;
    EXPECT_EQ(api.get_entity_and_task_id(c.reply, entity, task_id), c.result) << c.reply;
    EXPECT_EQ(entity, c.entity) << c.reply;
    if (*c.message) {
      EXPECT_TRUE(log.contains(std::string(k_entity_sig) + c.message)) << c.reply << log.text();
    }
  }
}

TEST(AsyncReply, ATaskThatIsNotAnObjectIsOnlyAnInformationLine) {
  curlAPI api(conf{});
  LogCapture log;
  std::string entity;
  std::string task_id;
  EXPECT_EQ(api.get_entity_and_task_id(R"({"entity": "e", "_task": []})", entity, task_id), 7);
  EXPECT_TRUE(log.contains("Info: " + std::string(k_entity_sig) + ": json value is not a task object"));
}

class TaskWait : public ::testing::Test {
 protected:
  void SetUp() override { controller.start(); }
  int wait(const std::string& task_id) {
    curlAPI api(kv_veil_test::settings_for(controller));
    return api.wait_for_task_completion(task_id);
  }
  TestController controller;
};

TEST_F(TaskWait, ATaskAlreadyDoneSucceedsAfterOneSecondAndOnePoll) {
  const std::string id = controller.add_task({std::string("SUCCESS")});
  LogCapture log;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(wait(id), 0);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(1000));
  EXPECT_LT(elapsed, std::chrono::milliseconds(1900));
  EXPECT_EQ(controller.task_polls(id), 1);
  EXPECT_EQ(controller.requests_to("GET", "/api/tasks/" + id + "/").size(), 1u);
  EXPECT_TRUE(log.contains("Wait while the task '" + id + "' completes ..."));
  EXPECT_TRUE(log.contains("The task '" + id + "' has succeeded."));
}

TEST_F(TaskWait, TheDefaultScheduleGoesThroughInProgress) {
  FastPolling fast;
  const std::string id = controller.add_task();
  EXPECT_EQ(wait(id), 0);
  EXPECT_EQ(controller.task_polls(id), 2);
}

TEST_F(TaskWait, FailedUnknownAndMiscasedStatusesEndTheWait) {
  FastPolling fast;
  for (const char* status : {"FAILED", "CANCELLED", "success", "in_progress"}) {
    const std::string id = controller.add_task({std::string("IN_PROGRESS"), std::string(status)});
    LogCapture log;
    EXPECT_EQ(wait(id), 1) << status;
    EXPECT_TRUE(log.contains(std::string(k_wait_sig) + ": task '" + id + "' has unexpected status: '" + status + "'"));
    EXPECT_EQ(controller.task_polls(id), 2);
  }
}

TEST_F(TaskWait, AReplyWithoutStatusKeepsThePreviousOne) {
  FastPolling fast;
  const std::string id = controller.add_task({std::string("IN_PROGRESS"), std::nullopt, std::string("SUCCESS")});
  EXPECT_EQ(wait(id), 0);
  EXPECT_EQ(controller.task_polls(id), 3);

  const std::string first = controller.add_task({std::nullopt});
  LogCapture log;
  EXPECT_EQ(wait(first), 1);
  EXPECT_TRUE(log.contains(": task '" + first + "' has unexpected status: ''"));
}

TEST_F(TaskWait, ThreeHundredPollsAtMost) {
  FastPolling fast;
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

TEST_F(TaskWait, AnUnreadableStatusEndsTheWait) {
  FastPolling fast;
  struct Case {
    Fault::Kind fault;
    const char* logged;
  };
  const Case cases[] = {
      {Fault::Kind::not_found, ": the controller answered with HTTP status 404: "},
      {Fault::Kind::error_200, ": the controller answered with HTTP status 200: "},
      {Fault::Kind::html_500, ": the controller answered with HTTP status 500: <html>"},
      {Fault::Kind::empty_body, ": json parsing failed: "},
  };
  for (const Case& c : cases) {
    const std::string id = controller.add_task();
    controller.clear_faults();
    controller.add_fault("GET", "/api/tasks/" + id + "/", Fault{c.fault});
    LogCapture log;
    EXPECT_EQ(wait(id), 1);
    EXPECT_TRUE(log.contains(c.logged)) << log.text();
    EXPECT_TRUE(log.contains(std::string(k_wait_sig) + ": unable to get status of the task: '" + id + "'"));
  }
  curlAPI api(kv_veil_test::settings_for(controller));
  LogCapture log;
  EXPECT_EQ(api.wait_for_task_completion(""), 1);
  EXPECT_TRUE(log.contains(std::string(k_wait_sig) + ": task_id is empty string"));
}

TEST_F(TaskWait, AStatusOfTheWrongTypeIsAJsonError) {
  FastPolling fast;
  const std::string id = controller.add_task();
  controller.set_reply("GET", "/api/tasks/" + id + "/", 200, R"({"status": 3})");
  curlAPI api(kv_veil_test::settings_for(controller));
  LogCapture log;
  std::string status = "before";
  EXPECT_EQ(api.get_task_status(id, status), 2);
  EXPECT_EQ(status, "before");
  EXPECT_TRUE(log.contains("int curlAPI::get_task_status(const string&, std::string&): boost::json: "));
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
