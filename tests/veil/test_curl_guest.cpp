#include "veil/curl_api.h"

#include "tests/support/test_controller.h"
#include "tests/veil/veil_test_support.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using kv_test::GuestProgram;
using kv_test::TestController;
using kv_veil_test::LogCapture;

constexpr const char* k_vm = "f00dcafe-0000-4000-8000-000000000001";

class Guest : public ::testing::Test {
 protected:
  void SetUp() override {
    controller.start();
    controller.add_vm(TestController::make_vm(k_vm, "web"));
  }
  int run(const std::string& path, std::string args, unsigned int timeout = 30, int request_timeout = 5) {
    conf settings = kv_veil_test::settings_for(controller);
    settings.timeout = request_timeout;
    curlAPI api(settings);
    return api.run_script_inside_vm(k_vm, path, args, timeout);
  }
  TestController controller;
};

TEST_F(Guest, ArgumentsSplitAtEverySingleBlankAndKeepTheirQuotes) {
  controller.set_guest_program("/bin/echo", GuestProgram{});
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"", {""}},
      {"a  \"b\" c:\\x", {"a", "", "\"b\"", "c:\\x"}},
      {" a ", {"", "a", ""}},
  };
  for (const auto& [text, args] : cases) {
    EXPECT_EQ(run("/bin/echo", text), 0) << text;
    EXPECT_EQ(controller.guest_runs().back().args, args) << text;
  }
  EXPECT_EQ(controller.guest_runs().back().timeout, "30");
}

TEST_F(Guest, OnlyAnExitedRunWithTheExitCodeTextZeroSucceeds) {
  const char* const cases[][3] = {{"0", "true", "0"},  {"\"0\"", "true", "1"}, {"3", "true", "1"},
                                  {"0", "false", "1"}, {"0", "", "1"}};
  for (const auto& [exitcode, exited, result] : cases) {
    controller.set_guest_program("/opt/s.sh", GuestProgram{exitcode, exited, "", {}});
    LogCapture log;
    EXPECT_EQ(run("/opt/s.sh", "x"), std::stoi(result)) << exitcode << " " << exited;
  }
  LogCapture log;
  EXPECT_EQ(run("/opt/none.sh", "after"), 1);  // the agent's errors, logged with the request
  EXPECT_TRUE(log.contains(": guest command failed, details: [{\"detail\":")) << log.text();
  EXPECT_TRUE(log.contains("POST request was: {\"qemu_cmd\": \"guest-exec\""));
  for (const char* reply : {R"({"other": 1})", R"({"guest-exec": 0})", R"({"guest-exec": {}})", "[1]"}) {
    controller.set_reply("POST", "/api/domains/" + std::string(k_vm) + "/guest-command/", 200, reply);
    EXPECT_EQ(run("/opt/s.sh", "x"), 1) << reply;
  }
}

TEST_F(Guest, TheRequestMayLastTheConfiguredTimeOutPlusTheScripts) {
  // A request time-out of 1 second and a script time-out of 1 second: an answer after 1.5
  // seconds arrives, one after 2.5 seconds does not.
  controller.set_guest_program("/opt/slow.sh", GuestProgram{"0", "true", "", std::chrono::milliseconds(1500)});
  EXPECT_EQ(run("/opt/slow.sh", "", 1, 1), 0);
  controller.set_guest_program("/opt/slow.sh", GuestProgram{"0", "true", "", std::chrono::milliseconds(2500)});
  LogCapture log;
  EXPECT_EQ(run("/opt/slow.sh", "", 1, 1), 1);
  EXPECT_TRUE(log.contains(": exception:")) << log.text();
}

}  // namespace
