// The client check and the listings of the real program, configured by its module configuration
// file to reach a test controller.
#include "tests/support/program_runner.h"
#include "tests/support/test_controller.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace kv_test {
namespace {

constexpr const char* k_check_sig = "int KvModuleVeilVM::check_resource(const string&)";
constexpr const char* k_config_sig = "virtual bool KvModuleVeilVM::load_module_config()";
constexpr const char* k_config_path = "/opt/kelvanor/etc/kv_module_veil_vm.conf";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class Listing : public ::testing::Test {
 protected:
  void SetUp() override {
    controller.start();
    write_file(sandbox.opt("etc/kv_logger.config"), "log_level Info\nlog_file_max_size 1\nlog_file_max_rotate 10\n");
  }

  // The configuration an installer writes for this controller, with `extra` lines at the end.
  void write_config(const std::string& extra = "") const {
    write_file(sandbox.opt("etc/kv_module_veil_vm.conf"),
               "# VeiL controller\nurl " + controller.url() +
                   "\nusername kv-api\npassword kv-secret\ntimeout 10\nkelvanor-vm-name kv-proxy\n" + extra);
  }

  void add_vm(const std::string& id, const std::string& name, const std::string& status, int power_state) {
    boost::json::object vm = TestController::make_vm(id, name);
    vm["status"] = status;
    vm["user_power_state"] = power_state;
    controller.add_vm(std::move(vm));
  }

  void add_three_vms() {
    add_vm("5c3b1e02-0001", "web", "ACTIVE", 3);
    add_vm("5c3b1e02-0002", "kv-proxy", "ACTIVE", 3);
    add_vm("5c3b1e02-0003", "db", "SERVICE", 1);
  }

  TestController controller;
  ModuleSandbox sandbox;
};

TEST_F(Listing, ClientCheckFailsWithoutTheModuleVmOrWithNamesakesOfIt) {
  write_config();
  add_vm("5c3b1e02-0001", "web", "ACTIVE", 3);
  ProgramResult result = sandbox.run({"-t"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out, "Module version: 2.1.0\n");
  EXPECT_TRUE(contains(result.err, std::string(k_check_sig) + ": the VM 'kv-proxy' does not exist")) << result.err;
  add_vm("5c3b1e02-0002", "kv-proxy", "ACTIVE", 3);
  add_vm("5c3b1e02-0004", "kv-proxy", "STOPPED", 1);
  result = sandbox.run({"-t"});
  EXPECT_EQ(result.status, 2);
  EXPECT_TRUE(contains(
      result.err, std::string(k_check_sig) + ": more than one VM is named 'kv-proxy': 5c3b1e02-0002, 5c3b1e02-0004"))
      << result.err;
}

TEST_F(Listing, ClientCheckWithAWrongPasswordFailsAndKeepsThePasswordOutOfTheLog) {
  write_file(sandbox.opt("etc/kv_module_veil_vm.conf"),
             "url " + controller.url() + "\nusername kv-api\npassword Wr0ng-pw\nkelvanor-vm-name kv-proxy\n");
  add_three_vms();
  ProgramResult result = sandbox.run({"-t"});
  EXPECT_EQ(result.status, 2);
  EXPECT_TRUE(contains(result.err, std::string(k_check_sig) + ": unable login to url: " + controller.url()))
      << result.err;
  EXPECT_TRUE(controller.requests_to("GET", "/api/domains/").empty());
  EXPECT_FALSE(contains(result.out + result.err + sandbox.log(), "Wr0ng-pw"));
}

TEST_F(Listing, ListsPrintOneRowPerVmInTheControllersOrderAndTheHeaderAsked) {
  write_config();
  add_three_vms();
  add_vm("5c3b1e02-0005", R"(vm "q" a\b)", "ACTIVE", 3);  // printed with its quotes removed, as always
  const std::string header = "ID|Name|Status|Power State\n";
  const std::string rows = "5c3b1e02-0001|web|ACTIVE|3\n5c3b1e02-0002|kv-proxy|ACTIVE|3\n5c3b1e02-0003|db|SERVICE|1\n"
                           R"(5c3b1e02-0005|vm \q\ a\\b|ACTIVE|3)" "\n";
  for (const auto& [option, out] : std::vector<std::pair<std::string, std::string>>{
           {"-c", header}, {"-l", rows}, {"-L", header + rows}}) {
    ProgramResult result = sandbox.run({option});
    EXPECT_EQ(result.status, 0) << result.err << sandbox.log_tail();
    EXPECT_EQ(result.out, out) << option;
    // The header labels alone come without the controller.
    EXPECT_TRUE(option != "-c" || controller.requests().empty());
  }
}

TEST_F(Listing, MissingConfigurationEndsTheRun) {
  add_three_vms();
  ProgramResult result = sandbox.run({"-l"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(contains(result.err, std::string(k_config_sig) + ": unable to open config file: " + k_config_path))
      << result.err;
  EXPECT_TRUE(contains(result.err, "Unable to load configuration from config file.")) << result.err;
  EXPECT_TRUE(controller.requests().empty());
}

TEST_F(Listing, HandWrittenConfigurationIsRead) {
  // Tabs, blank lines, indented comments, Windows line ends and a trailing slash on the url.
  write_file(sandbox.opt("etc/kv_module_veil_vm.conf"),
             "# VeiL controller\r\n\r\n  url\t" + controller.url() +
                 "/  \r\n\tusername   kv-api\r\n   # secret below\r\npassword\tkv-secret\r\n"
                 "kelvanor-vm-name\tkv-proxy\r\n");
  add_three_vms();
  ProgramResult result = sandbox.run({"-L"});
  EXPECT_EQ(result.status, 0) << result.err << sandbox.log_tail();
  EXPECT_TRUE(contains(result.out, "5c3b1e02-0002|kv-proxy|ACTIVE|3\n")) << result.out;
  EXPECT_EQ(controller.requests_to("POST", "/auth/").size(), 1u);
}

TEST_F(Listing, WrongLinesAreReportedAndTheClientCheckGoesOn) {
  write_config("Url http://elsewhere\nenable_ssl maybe\n");
  add_three_vms();
  ProgramResult result = sandbox.run({"-t"});
  EXPECT_EQ(result.status, 0) << result.err << sandbox.log_tail();
  EXPECT_EQ(result.out, "Module version: 2.1.0\n");
  EXPECT_TRUE(contains(
      result.err, std::string(k_config_sig) + ": wrong definition in the config file: " + k_config_path + ", line: 7"))
      << result.err;
  EXPECT_TRUE(contains(result.err, std::string(k_config_sig) + ": wrong value of enable_ssl in the config file: " +
                                       k_config_path + ", line: 8, value: 'maybe'"))
      << result.err;
}

TEST_F(Listing, TheVerboseSwitchDecidesWhetherRequestsAreTraced) {
  add_three_vms();
  for (const auto& [lines, verbose] :
       std::vector<std::pair<std::string, bool>>{{"curl_verbose\n", true}, {"curl_verbose\ncurl_verbose\tfalse\n", false}}) {
    write_config(lines);
    ProgramResult result = sandbox.run({"-l"});
    EXPECT_EQ(result.status, 0) << result.err << sandbox.log_tail();
    EXPECT_EQ(contains(result.err, "> GET /api/domains/"), verbose) << lines << result.err;
  }
  // The URL of every request is traced on standard output: a link must not forge a line there.
  controller.set_reply("GET", "/api/domains/", 200,
                       R"({"next": "/api/domains/?p=2\nMAIN ARCHIVE FILENAME:/etc/shadow", "results": []})");
  write_config("curl_verbose\n");
  const ProgramResult forged = sandbox.run({"-l"});
  EXPECT_FALSE(contains("\n" + forged.out, "\nMAIN ARCHIVE FILENAME:")) << forged.out;
}

// The login carries the password and every other request the token: neither goes to another
// port, even when the controller asks for it; a redirect to the controller itself is followed.
TEST_F(Listing, ARedirectAwayFromTheControllerIsNotFollowed) {
  write_config();
  add_three_vms();
  TestController elsewhere;
  elsewhere.start();
  for (const char* path : {"/auth/", "/api/domains/"}) {
    controller.clear_faults();
    Fault fault{Fault::Kind::redirect};
    fault.location = elsewhere.url() + path;
    controller.add_fault("*", path, fault);
    ProgramResult result = sandbox.run({"-t"});
    EXPECT_EQ(result.status, 2) << path;
    EXPECT_TRUE(contains(result.err, "redirected the request to " + elsewhere.url() + ", another scheme, host or port"))
        << result.err;
    EXPECT_TRUE(elsewhere.requests().empty()) << path;
  }
  controller.clear_faults();
  Fault home{Fault::Kind::redirect};
  home.location = controller.url() + "/api/domains/";
  home.times = 1;
  controller.add_fault("GET", "/api/domains/", home);
  EXPECT_EQ(sandbox.run({"-t"}).status, 0) << sandbox.log_tail();
}

// Blanks before a valid token: a reply past the bound ends the login instead of filling memory.
TEST_F(Listing, ALoginReplyBeyondTheBoundFailsTheLogin) {
  write_config();
  add_three_vms();
  Fault fault{Fault::Kind::bloated};
  fault.padding = (size_t{64} << 20) + 1;
  controller.add_fault("POST", "/auth/", fault);
  ProgramResult result = sandbox.run({"-t"});
  EXPECT_EQ(result.status, 2);
  EXPECT_TRUE(contains(result.err, "int curlAPI::login(): exception:the controller's reply is larger than 64 MiB"))
      << result.err;
}

}  // namespace
}  // namespace kv_test
