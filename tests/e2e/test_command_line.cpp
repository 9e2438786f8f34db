// The program's answers to the backup client's command-line questions: output and exit status.
#include "tests/support/program_runner.h"

#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>

#include <unistd.h>

#include <string>
#include <vector>

namespace kv_test {
namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct StatusCase {
  std::vector<std::string> args;
  int status;
  std::string error_text;  // a text standard error must hold; empty: standard error stays empty
  std::string output = "";  // a text standard output must start with
};

class CommandLineStatus : public ::testing::TestWithParam<StatusCase> {};

TEST_P(CommandLineStatus, ExitsWithTheStatusTheClientExpects) {
  const StatusCase& c = GetParam();
  ModuleSandbox sandbox;
  ProgramResult result = sandbox.run(c.args);
  EXPECT_EQ(result.status, c.status) << result.out << result.err << sandbox.log_tail();
  if (c.error_text.empty())
    EXPECT_EQ(result.err, "");
  else
    EXPECT_TRUE(contains(result.err, c.error_text)) << result.err;
  EXPECT_EQ(result.out.rfind(c.output, 0), 0u) << result.out;
}

INSTANTIATE_TEST_SUITE_P(
    Questions, CommandLineStatus,
    ::testing::Values(
        StatusCase{{"-1"}, 0, ""}, StatusCase{{"-D"}, 0, ""}, StatusCase{{"--autonomous"}, 14, ""},
        StatusCase{{"-l", "-L"}, 14, "int main(int, char**)Wrong combination of options"},
        StatusCase{{"-T", "x", "-l"}, 14, "Operation 3 incompatible with task ID"},
        StatusCase{{"-l"}, 2, "Unable to load configuration from config file."},
        StatusCase{{"--no-such-option"}, 14, "bool KvModuleUniversal::parse_module_options"},
        StatusCase{{}, 14, "Error: int main(int, char**)Wrong combination of options",
                   "This utility is a part of Kelvanor project\nVersion: 2.1.0.76b6ede\nUsage: "},
        StatusCase{{"-h"}, 1, "", "This utility is a part of Kelvanor project\n"},
        StatusCase{{"-V"}, 0, "", "2.1.0\n"},
        StatusCase{{"--show-module-properties"}, 0, "",
                   "Module properties:\n\n"
                   "Only one data source backup operation is allowed at one time       : true\n"
                   "Does the module support working in the client's autonomous mode    : false\n"
                   "Does the module support incremental backup                         : true\n"
                   "Does the module support differential backup                        : true\n"
                   "Does this module support deduplication                             : true\n"
                   "Does this module support archiving                                 : true\n"
                   "Location of the restriction list                                   : "
                   "/opt/kelvanor/etc/kelvanor_restriction.list.veil_vm"},
        StatusCase{{"--show-backup-options"}, 0, "",
                   "script_before_snapshot\t\t : string \tExecute script before snapshot(s) creation\n"
                   "script_after_snapshot\t\t : string \tExecute script after snapshot(s) creation\n"
                   "execution_script_timeout\t : integer \tScript timeout, seconds\n"
                   "dd_block_size\t\t\t : integer \tBlock size for dd operations, Megabytes\n"
                   "backup_if_shutdown\t\t\t : string(y/n) \tBackup virtual machine if it is shutted down\n"}));

TEST(CommandLine, FirstRunWritesTheDefaultLoggerConfiguration) {
  ModuleSandbox sandbox;
  ProgramResult result = sandbox.run({"-t"});
  EXPECT_EQ(read_file(sandbox.opt("etc/kv_logger.config")),
            "#Logging level: Error, Warning, Info, Debug, Debug1, Debug2, Debug3, Debug4\n"
            "log_level Info\n"
            "#Maximum size of log file in Mb\n"
            "log_file_max_size 1\n"
            "#Number of stored log file rotations, log file itself is not included\n"
            "log_file_max_rotate 10\n");
  EXPECT_TRUE(contains(result.err, "Warning: KvLogStream config file is absent: "));
  EXPECT_TRUE(contains(sandbox.log(), "Unable to load configuration from config file."));
}

TEST(CommandLine, LoggerConfigurationLevelIsHonoured) {
  ModuleSandbox sandbox;
  write_file(sandbox.opt("etc/kv_logger.config"),
             "log_level Error\nlog_file_max_size 1\nlog_file_max_rotate 10\n");
  ProgramResult result = sandbox.run({"-a", "-b", "vm-id", "-1", "-d", sandbox.scratch(), "-n", "x"});
  // Only errors are admitted: the archiving notice is printed directly, not through the log.
  EXPECT_TRUE(contains(result.out, "Archiving mode: the module '"));
  EXPECT_FALSE(contains(sandbox.log(), "Info: "));
}

// Verification looks into a snapshot file: it keeps the client's file, creates nothing at the
// root of the file system and leaves nothing behind.
TEST(CommandLine, SnapshotFileVerifiesAsItsMetaFile) {
  ModuleSandbox sandbox;
  write_file(sandbox.opt("etc/kv_module_veil_vm.conf"), "url http://127.0.0.1:1\nusername u\npassword p\n");
  write_file(sandbox.opt("bin/kvfd"), "#!/bin/sh\nexit 0\n", 0755);  // accepts every archive
  boost::filesystem::create_directories(sandbox.opt("var/tasks"));
  boost::filesystem::create_directories(sandbox.scratch("tmp"));
  sandbox.set_env("TMPDIR", sandbox.scratch("tmp"));
  const std::string name = "kv-verify-" + std::to_string(::getpid());
  const std::string dir = sandbox.scratch();
  ProgramResult signed_meta = sandbox.run_shell(
      "cd " + dir + " && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out priv.pem" +
      " && openssl pkey -in priv.pem -pubout -out pub.pem && mkdir s && printf meta > s/" + name + ".meta" +
      " && openssl dgst -sha256 -sign priv.pem -out sig s/" + name + ".meta && tar czf " + name + ".snap -C s ." +
      " && od -An -tx1 -v sig | tr -d ' \\n'");
  ASSERT_EQ(signed_meta.status, 0) << signed_meta.err;
  const std::string snap = dir + "/" + name + ".snap";
  ProgramResult result = sandbox.run(
      {"--verify_in_client_defined_storage", "-M", snap, "-k", dir + "/pub.pem", "--sign_hash", "sha256", "--esign",
       R"({"archive_name":"local-directory:1@/store/arch","archive_sign":"00","snapshot_sign":")" + signed_meta.out +
           "\"}"});
  EXPECT_EQ(result.status, 0) << result.out << result.err << sandbox.log_tail();
  EXPECT_TRUE(contains(result.out, "VERIFICATION RESULT:Trusted\n")) << result.out;
  EXPECT_TRUE(boost::filesystem::exists(snap));
  EXPECT_FALSE(boost::filesystem::exists("/" + name + ".snap_dir"));
  EXPECT_TRUE(boost::filesystem::is_empty(sandbox.scratch("tmp")));
}

}  // namespace
}  // namespace kv_test
