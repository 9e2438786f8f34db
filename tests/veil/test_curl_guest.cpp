#include "veil/curl_api.h"

#include "tests/support/test_controller.h"
#include "tests/veil/veil_test_support.h"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include <chrono>

namespace {

namespace json = boost::json;
using kv_test::GuestProgram;
using kv_test::TestController;
using kv_veil_test::LogCapture;

constexpr const char* k_guest_sig =
    "int curlAPI::run_script_inside_vm(const string&, const string&, std::string&, unsigned int&)";
constexpr const char* k_vm = "f00dcafe-0000-4000-8000-000000000001";
constexpr const char* k_script = "/opt/kelvanor/scripts/veil_vm.sh";
constexpr const char* k_guest_path = "/api/domains/f00dcafe-0000-4000-8000-000000000001/guest-command/";

class Guest : public ::testing::Test {
 protected:
  void SetUp() override {
    controller.start();
    controller.add_vm(TestController::make_vm(k_vm, "web"));
  }
  // Runs the program with the argument text and returns the result.
  int run(const std::string& path, std::string args, unsigned int timeout = 30, int request_timeout = 5) {
    conf settings = kv_veil_test::settings_for(controller);
    settings.timeout = request_timeout;
    curlAPI api(settings);
    return api.run_script_inside_vm(k_vm, path, args, timeout);
  }
  [[nodiscard]] std::string last_body() const { return controller.requests_to("POST", k_guest_path).back().body; }
  TestController controller;
};

TEST(GuestArguments, SplitAtEverySingleBlankKeepingEmptyPieces) {
  struct Case {
    const char* text;
    const char* list;
  };
  const Case cases[] = {
      {"before", R"("before")"},
      {"a b", R"("a", "b")"},
      {"", R"("")"},
      {"a  b", R"("a", "", "b")"},
      {"a ", R"("a", "")"},
      {" a", R"("", "a")"},
      {"-f /opt/kelvanor/scripts/veil_vm.sh", R"("-f", "/opt/kelvanor/scripts/veil_vm.sh")"},
      {"say \"hi\" c:\\x", R"("say", "\"hi\"", "c:\\x")"},
  };
  for (const Case& c : cases) {
    const std::string list = curlAPI::guest_argument_list(c.text);
    EXPECT_EQ(list, c.list) << c.text;
    boost::system::error_code ec;
    (void)json::parse("[" + list + "]", ec);
    EXPECT_FALSE(ec) << list;
  }
}

TEST_F(Guest, AScriptThatExitsWithZeroSucceedsWithTheExactBodyAndItsLogLine) {
  controller.set_guest_program(k_script, GuestProgram{});
  LogCapture log;
  std::string args = "before";
  conf settings = kv_veil_test::settings_for(controller);
  curlAPI api(settings);
  unsigned int timeout = 30;
  EXPECT_EQ(api.run_script_inside_vm(k_vm, k_script, args, timeout), 0);
  EXPECT_EQ(args, "before");
  EXPECT_EQ(last_body(),
            R"({"qemu_cmd": "guest-exec", "fargs": {"path": "/opt/kelvanor/scripts/veil_vm.sh", "arg": ["before"]}, )"
            R"("timeout": 30})");
  EXPECT_TRUE(log.contains("Run command '/opt/kelvanor/scripts/veil_vm.sh' with argument '\"before\"' inside VM: '" +
                           std::string(k_vm) + "'"))
      << log.text();
  const auto runs = controller.guest_runs();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].args, std::vector<std::string>{"before"});
  EXPECT_EQ(runs[0].timeout, "30");
}

TEST_F(Guest, TwoBlanksSendAnEmptyArgumentAndQuotesStayInside) {
  controller.set_guest_program("/bin/echo", GuestProgram{});
  LogCapture log;
  EXPECT_EQ(run("/bin/echo", "a  \"b\""), 0);
  EXPECT_EQ(controller.guest_runs().back().args, (std::vector<std::string>{"a", "", "\"b\""}));
}

TEST_F(Guest, TheProbeIsSilentButForANonZeroExitCode) {
  controller.add_guest_file(k_vm, k_script);
  {
    LogCapture log;
    EXPECT_EQ(run("/usr/bin/test", std::string("-f ") + k_script, 1), 0);
    EXPECT_FALSE(log.contains("Run command")) << log.text();
  }
  {
    LogCapture log;
    EXPECT_EQ(run("/usr/bin/test", "-f /opt/kelvanor/scripts/missing.sh", 1), 1);
    EXPECT_FALSE(log.contains("Run command"));
    EXPECT_TRUE(log.contains(std::string(k_guest_sig) + ": internal VM script returned: 1")) << log.text();
  }
  {  // the agent cannot run it at all: no message for the probe
    controller.set_guest_program("/usr/bin/test", GuestProgram{"", "", R"([{"detail": "no agent"}])", {}});
    LogCapture log;
    EXPECT_EQ(run("/usr/bin/test", "-f x", 1), 1);
    EXPECT_EQ(log.text(), "");
  }
}

TEST_F(Guest, ErrorsOfAScriptAreLoggedWithTheRequest) {
  LogCapture log;
  EXPECT_EQ(run("/opt/none.sh", "after"), 1);
  const std::string text = log.text();
  EXPECT_NE(text.find(std::string(k_guest_sig) + ": guest command failed, details: [{\"detail\":"), std::string::npos)
      << text;
  EXPECT_NE(text.find("POST request was: {\"qemu_cmd\": \"guest-exec\""), std::string::npos) << text;
}

TEST_F(Guest, OnlyAnExitedRunWithTheExitCodeTextZeroSucceeds) {
  struct Case {
    const char* exitcode;
    const char* exited;
    int result;
    const char* message;  // after the signature; "" for none
  };
  const Case cases[] = {
      {"0", "true", 0, ""},
      {"\"0\"", "true", 1, ": internal VM script returned: \"0\""},
      {"3", "true", 1, ": internal VM script returned: 3"},
      {"-1", "true", 1, ": internal VM script returned: -1"},
      {"0", "false", 1, ": can't execute script '/opt/s.sh' inside VM: '"},
      {"0", "\"true\"", 1, ": can't execute script '/opt/s.sh' inside VM: '"},
      {"", "false", 1, ": can't execute script '/opt/s.sh' inside VM: '"},
      {"0", "", 1, ": can't execute script '/opt/s.sh' inside VM: '"},
  };
  for (const Case& c : cases) {
    controller.set_guest_program("/opt/s.sh", GuestProgram{c.exitcode, c.exited, "", {}});
    LogCapture log;
    EXPECT_EQ(run("/opt/s.sh", "x"), c.result) << c.exitcode << " " << c.exited;
    if (*c.message) {
      EXPECT_TRUE(log.contains(std::string(k_guest_sig) + c.message)) << c.exitcode << " " << c.exited << log.text();
    }
  }
}

TEST_F(Guest, RepliesOfTheWrongShapeFail) {
  struct Case {
    const char* reply;
    const char* message;
  };
  const Case cases[] = {
      {R"({"other": 1})", ": can't execute script '/opt/s.sh' inside VM: '"},
      {R"({"guest-exec": 0})", ": json value is not an object: guest command execution status"},
      {R"({"guest-exec": {}})", ": json object is empty. Expected guest command execution status"},
      {R"({"guest-exec": {"exitcode": 0, "exited": true}, "errors": []})", ": guest command failed, details: []"},
      {R"([1])", "int curlAPI::parse_result_string(const string&, boost::json::value&): json value is not an object"},
      {"<html></html>", "json parsing failed"},
  };
  for (const Case& c : cases) {
    controller.set_reply("POST", k_guest_path, 200, c.reply);
    LogCapture log;
    EXPECT_EQ(run("/opt/s.sh", "x"), 1) << c.reply;
    EXPECT_TRUE(log.contains(c.message)) << c.reply << "\n" << log.text();
  }
}

TEST_F(Guest, TheRequestMayLastTheConfiguredTimeOutPlusTheScripts) {
  // A request time-out of 1 second and a script time-out of 1 second: an answer after 1.5
  // seconds arrives, one after 2.5 seconds does not.
  controller.set_guest_program("/opt/slow.sh", GuestProgram{"0", "true", "", std::chrono::milliseconds(1500)});
  {
    LogCapture log;
    EXPECT_EQ(run("/opt/slow.sh", "", 1, 1), 0) << log.text();
  }
  controller.set_guest_program("/opt/slow.sh", GuestProgram{"0", "true", "", std::chrono::milliseconds(2500)});
  LogCapture log;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run("/opt/slow.sh", "", 1, 1), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2400));
  EXPECT_TRUE(log.contains(std::string(k_guest_sig) + ": exception:")) << log.text();
}

TEST_F(Guest, ARequestRefusedLocallyOrATransportErrorGivesOne) {
  {
    conf settings = kv_veil_test::settings_for(controller);
    settings.enable_ssl = true;
    settings.ca_info = "/nonexistent/ca.pem";
    curlAPI api(settings);
    std::string args = "before";
    unsigned int timeout = 5;
    LogCapture log;
    EXPECT_EQ(api.run_script_inside_vm(k_vm, "/usr/bin/test", args, timeout), 1);
    EXPECT_TRUE(log.contains("Can't execute script '/usr/bin/test' inside VM: '" + std::string(k_vm) + "'"));
  }
  conf settings = kv_veil_test::settings_for(controller);
  controller.stop();
  curlAPI api(settings);
  std::string args = "before";
  unsigned int timeout = 5;
  LogCapture log;
  EXPECT_EQ(api.run_script_inside_vm(k_vm, k_script, args, timeout), 1);
  EXPECT_TRUE(log.contains(std::string(k_guest_sig) + ": exception:")) << log.text();
}

}  // namespace
