#include "common/kv_utils_common.h"

#include "tests/support/process_helpers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <string>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using kv_test::ShellProcess;
using kv_utils_common::execute_command;
using testing::HasSubstr;
using testing::Not;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

TEST(ExecuteCommand, CodeAndJoinedOutput) {
  const std::string long_line(3000, 'x');
  const struct {
    std::string command;
    std::string before;  // what the caller already holds
    int code;
    std::string output;
  } cases[] = {
      {"true", "kept\n", 0, "kept\n"},
      {"sh -c 'echo out; echo err >&2; echo out2'", "old\n", 0, "old\nout\nerr\nout2\n"},
      {"echo a; head -c 3000 /dev/zero | tr '\\0' x; echo; printf b", "", 0, "a\n" + long_line + "\nb"},
      {"echo before; exit 3", "", 3, "before\n"},
      {"exit 255", "", 255, ""},
      // Killed by a signal: the shell's 128 + signal number, never a success.
      {"echo partial; kill -KILL $$", "", 128 + SIGKILL, "partial\n"},
  };
  for (const auto& c : cases) {
    std::string output = c.before;
    EXPECT_EQ(execute_command(c.command, output), c.code) << c.command;
    EXPECT_EQ(output, c.output) << c.command;
  }
  std::string output;
  EXPECT_EQ(execute_command("kv_no_such_program_for_tests", output), 127);
  EXPECT_THAT(output, HasSubstr("kv_no_such_program_for_tests: not found"));
}

TEST(ExecuteCommand, CannotStart) {
  // popen fails for a user who may not start another process; root ignores the limit.
  constexpr int k_cannot_drop_root = 90;
  const kv_test::ForkedRun run = kv_test::run_forked([] {
    const rlimit no_processes{0, 0};
    if (::setgid(65534) != 0 || ::setuid(65534) != 0 || ::setrlimit(RLIMIT_NPROC, &no_processes) != 0)
      return k_cannot_drop_root;
    std::string output = "untouched";
    const int code = execute_command("echo hello", output);
    return output == "untouched" ? code & 0xff : 91;
  });
  ASSERT_TRUE(WIFEXITED(run.wait_status)) << run.errors;
  if (WEXITSTATUS(run.wait_status) == k_cannot_drop_root) GTEST_SKIP() << "cannot drop root here";
  EXPECT_EQ(WEXITSTATUS(run.wait_status), 1);
  EXPECT_EQ(run.errors, "Couldn't start OS command: echo hello 2>&1\n");
}

void ignore_signal(int) {}

TEST(ExecuteCommand, PcloseFailsAndInterruptedReads) {
  // With SIGCHLD ignored the kernel reaps the shell itself, so pclose cannot learn its status.
  struct sigaction action {}, saved_chld {}, saved_usr1 {};
  action.sa_handler = SIG_IGN;
  ::sigaction(SIGCHLD, &action, &saved_chld);
  std::string output;
  CaptureStderr();
  EXPECT_EQ(execute_command("echo done", output), -1);
  EXPECT_THAT(GetCapturedStderr(), HasSubstr("kv_utils_common::execute_command: error: pclose: "));
  ::sigaction(SIGCHLD, &saved_chld, nullptr);

  // A signal (no SA_RESTART) while the rest of the output is awaited must not cut it short.
  action.sa_handler = ignore_signal;
  ::sigaction(SIGUSR1, &action, &saved_usr1);
  EXPECT_EQ(execute_command("sleep 0.2; kill -USR1 $PPID; sleep 0.2; echo after", output), 0);
  EXPECT_EQ(output, "done\nafter\n");
  ::sigaction(SIGUSR1, &saved_usr1, nullptr);
}

TEST(SendSignal, LiveProcessOnlyNeverAGroup) {
  ShellProcess target("exec sleep 30");
  CaptureStdout();
  EXPECT_TRUE(kv_utils_common::send_signal(target.pid(), SIGTERM));
  EXPECT_FALSE(kv_utils_common::send_signal(-1, 0));  // signal 0 keeps the host safe should the guard go
  EXPECT_EQ(GetCapturedStdout(), "sent signal 15 to the process: " + std::to_string(target.pid()) + "\n");
  EXPECT_TRUE(WIFSIGNALED(target.wait_exit()));
}

std::string terminated(int pid) { return "PID was terminated: " + std::to_string(pid) + "\n"; }

// The stop's walk from the program's own pid: the whole subtree, deepest first, SIGKILL where
// SIGTERM is ignored, and its own ps left out.
TEST(KillChilds, WholeSubtreeDeepestFirst) {
  ShellProcess top("sh -c 'trap \"\" TERM; sleep 30 & echo leaf $!; wait' & echo middle $!; wait; exec sleep 30");
  const auto pids = top.read_pids(2);
  CaptureStdout();
  CaptureStderr();
  kv_utils_common::kill_childs(static_cast<int>(::getpid()));
  const std::string printed = GetCapturedStdout();
  EXPECT_THAT(GetCapturedStderr(), Not(HasSubstr("does not exist")));
  EXPECT_THAT(printed, Not(HasSubstr("Error terminate PID")));
  const auto leaf = printed.find(terminated(pids.at("leaf")));
  const auto middle = printed.find(terminated(pids.at("middle")));
  EXPECT_TRUE(leaf < middle && middle < printed.find(terminated(top.pid()))) << printed;
  EXPECT_TRUE(kv_test::wait_until_ended(pids.at("leaf")));
  EXPECT_NE(top.wait_exit(), -1);
}

TEST(KillChilds, NeverThePidItselfNorTheProgram) {
  ShellProcess lonely("exec sleep 30");
  CaptureStdout();
  kv_utils_common::kill_childs(lonely.pid());
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_TRUE(kv_test::is_running(lonely.pid()));

  // A program inside the subtree (a forked copy of this one) terminates its sibling, not itself.
  const kv_test::ForkedRun run = kv_test::run_forked([] {
    kv_utils_common::kill_childs(static_cast<int>(::getppid()));
    return 0;
  });
  EXPECT_TRUE(WIFEXITED(run.wait_status));
  EXPECT_NE(lonely.wait_exit(), -1);
}

TEST(HostQueries, Nodename) {
  std::ifstream hostname("/proc/sys/kernel/hostname");
  std::string expected;
  std::getline(hostname, expected);
  EXPECT_EQ(kv_utils_common::get_nodename(), expected);
}

}  // namespace
