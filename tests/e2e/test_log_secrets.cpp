// The configured password stays out of the log and the standard streams of the real program,
// whatever text brings it there.
#include "tests/support/program_runner.h"
#include "tests/support/test_controller.h"
#include "veil/json_escape.h"

#include <gtest/gtest.h>

#include <string>

namespace kv_test {
namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The controller's error replies repeat the password: as an error page holds its text, and as a
// JSON reply holds its escaped text.
TEST(LogSecrets, APasswordRepeatedByTheControllerNeverReachesTheLog) {
  TestController::Options options;
  options.password = R"(Pa"ss\w0rd/#e2e)";
  TestController controller(options);
  controller.start();
  ModuleSandbox sandbox;
  write_file(sandbox.opt("etc/kv_logger.config"), "log_level Debug\nlog_file_max_size 1\nlog_file_max_rotate 10\n");
  write_file(sandbox.opt("etc/kv_module_veil_vm.conf"), "url " + controller.url() + "\nusername kv-api\npassword " +
                                                            options.password + "\nkelvanor-vm-name kv-proxy\n");
  const std::string escaped = kv_veil::json_escape(options.password);
  struct Reply {
    int status;
    std::string body;
    std::string content_type;
  };
  for (const Reply& reply : {Reply{500, "<p>kv-api:" + options.password + " may not list</p>", "text/html"},
                             Reply{400, R"({"errors": [{"detail": "password )" + escaped + R"( expired"}]})",
                                   "application/json"}}) {
    controller.set_reply("GET", "/api/domains/", reply.status, reply.body, reply.content_type);
    const ProgramResult result = sandbox.run({"-l"});
    EXPECT_EQ(result.status, 2) << result.err << sandbox.log_tail();
    const std::string written = result.out + result.err + sandbox.log();
    EXPECT_TRUE(contains(sandbox.log(), "HTTP status " + std::to_string(reply.status) + ": ")) << sandbox.log_tail();
    for (const std::string& form : {options.password, escaped})
      EXPECT_FALSE(contains(written, form)) << form << " in:\n" << written;
  }
  EXPECT_EQ(controller.login_count(), 2);
}

}  // namespace
}  // namespace kv_test
