#include "common/kv_utils_common.h"

#include "tests/support/process_helpers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <iostream>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using kv_test::ShellProcess;
using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;
using Clock = std::chrono::steady_clock;

std::string line_of(std::size_t length)
{
    return std::string(length, 'x');
}

// ---------------------------------------------------------------------------------------------
// execute_command

struct CommandCase {
    const char* name;
    std::string command;
    std::string output_before; // what the caller already holds
    int expected_code;
    std::string expected_output;
};

class ExecuteCommand : public testing::TestWithParam<CommandCase> {};

TEST_P(ExecuteCommand, ReturnsCodeAndAppendsJoinedOutput)
{
    const CommandCase& c = GetParam();
    std::string output = c.output_before;
    EXPECT_EQ(kv_utils_common::execute_command(c.command, output), c.expected_code);
    EXPECT_EQ(output, c.expected_output);
}

std::string printed_line(std::size_t length)
{
    return "head -c " + std::to_string(length) + " /dev/zero | tr '\\0' x; echo";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExecuteCommand,
    testing::Values(
        CommandCase{"lines", "printf 'a\\nb\\n'", "", 0, "a\nb\n"},
        CommandCase{"no_trailing_newline", "printf abc", "", 0, "abc"},
        CommandCase{"stderr_joined_in_order", "sh -c 'echo out; echo err >&2; echo out2'", "", 0, "out\nerr\nout2\n"},
        CommandCase{"grouped_list_joined", "{ echo out; echo err >&2; }", "", 0, "out\nerr\n"},
        CommandCase{"only_stderr", "sh -c 'echo oops >&2; exit 2'", "", 2, "oops\n"},
        CommandCase{"silent_keeps_callers_text", "true", "kept\n", 0, "kept\n"},
        CommandCase{"appends_after_callers_text", "echo new", "old\n", 0, "old\nnew\n"},
        CommandCase{"exit_code_3", "echo before; exit 3", "", 3, "before\n"},
        CommandCase{"line_1022", printed_line(1022), "", 0, line_of(1022) + "\n"},
        CommandCase{"line_1023", printed_line(1023), "", 0, line_of(1023) + "\n"},
        CommandCase{"line_1024", printed_line(1024), "", 0, line_of(1024) + "\n"},
        CommandCase{"line_1025", printed_line(1025), "", 0, line_of(1025) + "\n"},
        CommandCase{"line_5000", printed_line(5000), "pre:", 0, "pre:" + line_of(5000) + "\n"},
        CommandCase{"long_line_between_short",
                    "echo a; " + printed_line(3000) + "; echo b", "", 0, "a\n" + line_of(3000) + "\nb\n"},
        CommandCase{"large_output", "seq 1 20000 | tail -n 1", "", 0, "20000\n"},
        // Killed by a signal: the shell's 128 + signal number, never a success.
        CommandCase{"killed_by_sigterm", "kill -TERM $$", "", 128 + SIGTERM, ""},
        CommandCase{"killed_by_sigkill", "echo partial; kill -KILL $$", "", 128 + SIGKILL, "partial\n"},
        CommandCase{"killed_by_sighup", "kill -HUP $$", "", 128 + SIGHUP, ""},
        CommandCase{"killed_child_reported_by_shell", "sh -c 'kill -KILL $$'", "", 128 + SIGKILL, "Killed\n"}),
    [](const testing::TestParamInfo<CommandCase>& param_info) { return std::string(param_info.param.name); });

TEST(ExecuteCommandExitCodes, EveryCodeFrom0To255)
{
    for (int code = 0; code <= 255; ++code) {
        std::string output;
        EXPECT_EQ(kv_utils_common::execute_command("exit " + std::to_string(code), output), code);
        EXPECT_EQ(output, "");
    }
}

TEST(ExecuteCommandMissingProgram, ShellsCode127AndItsMessage)
{
    std::string output = "before:";
    EXPECT_EQ(kv_utils_common::execute_command("kv_no_such_program_for_tests --help", output), 127);
    EXPECT_THAT(output, testing::StartsWith("before:"));
    EXPECT_THAT(output, HasSubstr("kv_no_such_program_for_tests: not found"));
}

TEST(ExecuteCommandCannotStart, ReportsCommandAndReturns1)
{
    // A user who may not start another process: popen itself fails. Root ignores the process
    // limit, so the forked copy gives up root first.
    constexpr int k_cannot_drop_root = 90;
    constexpr int k_output_touched = 91;
    const kv_test::ForkedRun run = kv_test::run_forked([] {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            return k_cannot_drop_root;
        const rlimit no_processes{0, 0};
        if (::setrlimit(RLIMIT_NPROC, &no_processes) != 0)
            return k_cannot_drop_root;
        std::string output = "untouched";
        const int code = kv_utils_common::execute_command("echo hello", output);
        return output == "untouched" ? code & 0xff : k_output_touched;
    });

    ASSERT_TRUE(WIFEXITED(run.wait_status)) << run.errors;
    if (WEXITSTATUS(run.wait_status) == k_cannot_drop_root)
        GTEST_SKIP() << "cannot drop root here";
    EXPECT_EQ(WEXITSTATUS(run.wait_status), 1);
    EXPECT_EQ(run.errors, "Couldn't start OS command: echo hello 2>&1\n");
}

// Sets a signal's disposition for one test and puts the old one back.
class SignalScope {
public:
    SignalScope(int signal, void (*handler)(int), int flags) : m_signal(signal)
    {
        struct sigaction action {};
        action.sa_handler = handler;
        action.sa_flags = flags;
        sigemptyset(&action.sa_mask);
        ::sigaction(m_signal, &action, &m_saved);
    }
    ~SignalScope() { ::sigaction(m_signal, &m_saved, nullptr); }
    SignalScope(const SignalScope&) = delete;
    SignalScope& operator=(const SignalScope&) = delete;

private:
    int m_signal;
    struct sigaction m_saved {};
};

TEST(ExecuteCommandPcloseFails, ReturnsFailureNotSuccess)
{
    // With SIGCHLD ignored the kernel reaps the shell itself, so pclose cannot learn its status.
    std::string output;
    int code = 0;
    CaptureStderr();
    {
        SignalScope ignore_children(SIGCHLD, SIG_IGN, 0);
        code = kv_utils_common::execute_command("echo done", output);
    }
    const std::string errors = GetCapturedStderr();
    EXPECT_EQ(code, -1);
    EXPECT_EQ(output, "done\n");
    EXPECT_THAT(errors, HasSubstr("kv_utils_common::execute_command: error: pclose: "));
}

void ignore_signal(int) {}

TEST(ExecuteCommandInterruptedRead, ReadsOnUntilTheEnd)
{
    // The command signals this program while it waits for the rest of the output; without
    // SA_RESTART the read fails with EINTR, which must not cut the output short.
    SignalScope interrupting(SIGUSR1, ignore_signal, 0);
    std::string output;
    EXPECT_EQ(kv_utils_common::execute_command("echo before; sleep 0.2; kill -USR1 $PPID; sleep 0.2; echo after", output), 0);
    EXPECT_EQ(output, "before\nafter\n");
}

// ---------------------------------------------------------------------------------------------
// send_signal

struct QuietRefusal {
    const char* name;
    int pid;
    int signal;
    bool expected;
};

class SendSignalQuiet : public testing::TestWithParam<QuietRefusal> {};

TEST_P(SendSignalQuiet, SendsNothingAndPrintsNothing)
{
    const QuietRefusal& c = GetParam();
    CaptureStdout();
    const bool sent = kv_utils_common::send_signal(c.pid, c.signal);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(sent, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, SendSignalQuiet,
                         testing::Values(QuietRefusal{"pid_0_is_success", 0, SIGTERM, true},
                                         QuietRefusal{"missing_process", kv_test::unused_pid(), SIGTERM, false},
                                         // Signal 0 keeps the host safe should the guard ever go.
                                         QuietRefusal{"every_process", -1, 0, false},
                                         QuietRefusal{"process_group", -static_cast<int>(::getpgrp()), 0, false}),
                         [](const testing::TestParamInfo<QuietRefusal>& param_info) { return std::string(param_info.param.name); });

TEST(SendSignal, DeliversToLiveProcessAndSaysSo)
{
    ShellProcess target("echo ready; exec sleep 30");
    ASSERT_EQ(target.read_line(), "ready");

    CaptureStdout();
    const bool sent = kv_utils_common::send_signal(target.pid(), SIGTERM);
    EXPECT_EQ(GetCapturedStdout(), "sent signal 15 to the process: " + std::to_string(target.pid()) + "\n");
    EXPECT_TRUE(sent);

    const int status = target.wait_exit();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(SendSignal, RejectedSignalIsReported)
{
    ShellProcess target("exec sleep 30");
    CaptureStdout();
    const bool sent = kv_utils_common::send_signal(target.pid(), 999);
    EXPECT_EQ(GetCapturedStdout(), "No permissions to send signal 999 the process: " + std::to_string(target.pid()) + "\n");
    EXPECT_FALSE(sent);
    EXPECT_TRUE(kv_test::is_running(target.pid()));
}

// ---------------------------------------------------------------------------------------------
// synchronous_terminate

TEST(SynchronousTerminate, Pid0IsRefusedSilently)
{
    CaptureStderr();
    EXPECT_FALSE(kv_utils_common::synchronous_terminate(0));
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(SynchronousTerminate, MissingProcess)
{
    const int pid = kv_test::unused_pid();
    CaptureStderr();
    EXPECT_FALSE(kv_utils_common::synchronous_terminate(pid));
    EXPECT_EQ(GetCapturedStderr(), "Process with pid:" + std::to_string(pid) + " does not exist\n");
}

TEST(SynchronousTerminate, ProcessEndingOnSigtermCountsAsTerminated)
{
    // The sleep is a grandchild: its parent reaps it, so once it ends it is really gone.
    ShellProcess parent("sleep 30 & echo sleeper $!; wait; exec sleep 30");
    const int sleeper = parent.read_pids(1).at("sleeper");

    CaptureStderr();
    const auto start = Clock::now();
    const bool terminated = kv_utils_common::synchronous_terminate(sleeper);
    const auto took = Clock::now() - start;
    const std::string errors = GetCapturedStderr();

    EXPECT_TRUE(terminated);
    EXPECT_EQ(errors, "Process with pid:" + std::to_string(sleeper) + " exited\n");
    EXPECT_LT(took, std::chrono::milliseconds(1800));
    EXPECT_TRUE(kv_test::wait_until_ended(sleeper));
    EXPECT_TRUE(kv_test::is_running(parent.pid()));
}

TEST(SynchronousTerminate, ProcessIgnoringSigtermIsKilledAfterOneSecond)
{
    ShellProcess stubborn("trap '' TERM; echo ready; exec sleep 30");
    ASSERT_EQ(stubborn.read_line(), "ready");

    CaptureStderr();
    const auto start = Clock::now();
    const bool terminated = kv_utils_common::synchronous_terminate(stubborn.pid());
    const auto took = Clock::now() - start;
    EXPECT_EQ(GetCapturedStderr(), "");

    EXPECT_TRUE(terminated);
    EXPECT_GE(took, std::chrono::milliseconds(950));
    EXPECT_LT(took, std::chrono::milliseconds(1800));
    const int status = stubborn.wait_exit();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
}

// ---------------------------------------------------------------------------------------------
// kill_childs

std::size_t position_of(const std::string& text, const std::string& line)
{
    const auto at = text.find(line);
    EXPECT_NE(at, std::string::npos) << "missing \"" << line << "\" in:\n" << text;
    return at;
}

std::string terminated_line(int pid)
{
    return "PID was terminated: " + std::to_string(pid) + "\n";
}

TEST(KillChilds, OwnPidTerminatesChildAndGrandchildNotTheProgram)
{
    ShellProcess child("sleep 30 & echo grandchild $!; wait");
    const int grandchild = child.read_pids(1).at("grandchild");

    CaptureStdout();
    CaptureStderr();
    kv_utils_common::kill_childs(static_cast<int>(::getpid()));
    const std::string printed = GetCapturedStdout();
    // The ps that lists the children is not taken for one of them.
    EXPECT_THAT(GetCapturedStderr(), testing::Not(HasSubstr("does not exist")));
    EXPECT_THAT(printed, testing::Not(HasSubstr("Error terminate PID")));

    EXPECT_TRUE(kv_test::wait_until_ended(grandchild));
    EXPECT_NE(child.wait_exit(std::chrono::seconds(2)), -1) << "child still running";
    EXPECT_LT(position_of(printed, terminated_line(grandchild)), position_of(printed, terminated_line(child.pid())));
    EXPECT_THAT(printed, testing::Not(HasSubstr(std::to_string(::getpid()) + "\n")));
}

TEST(KillChilds, WholeSubtreeBelowPidDeepestFirstEvenWhenIgnoringSigterm)
{
    // top -> middle (ignores SIGTERM) -> leaf (inherits the ignored SIGTERM)
    ShellProcess top("sh -c 'trap \"\" TERM; sleep 30 & echo leaf $!; wait' & echo middle $!; wait; exec sleep 30");
    const auto pids = top.read_pids(2);
    const int middle = pids.at("middle");
    const int leaf = pids.at("leaf");

    CaptureStdout();
    kv_utils_common::kill_childs(top.pid());
    const std::string printed = GetCapturedStdout();

    EXPECT_TRUE(kv_test::wait_until_ended(leaf));
    EXPECT_TRUE(kv_test::wait_until_ended(middle));
    EXPECT_LT(position_of(printed, terminated_line(leaf)), position_of(printed, terminated_line(middle)));
    EXPECT_TRUE(kv_test::is_running(top.pid())) << "the given pid itself must survive";
    EXPECT_THAT(printed, testing::Not(HasSubstr(std::to_string(top.pid()))));
}

TEST(KillChilds, ProcessWithoutChildrenIsLeftAlone)
{
    ShellProcess lonely("exec sleep 30");
    CaptureStdout();
    kv_utils_common::kill_childs(lonely.pid());
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_TRUE(kv_test::is_running(lonely.pid()));
}

TEST(KillChilds, ProgramInsideTheSubtreeSurvives)
{
    // The "program" is a forked copy of this test process that terminates everything below its
    // parent: its sibling must go, the program itself must finish normally.
    ShellProcess sibling("exec sleep 30");
    const int sibling_pid = sibling.pid();

    constexpr int k_sibling_left = 3;
    const kv_test::ForkedRun run = kv_test::run_forked([sibling_pid] {
        kv_utils_common::kill_childs(static_cast<int>(::getppid()));
        return kv_test::is_running(sibling_pid) ? k_sibling_left : 0;
    });

    ASSERT_TRUE(WIFEXITED(run.wait_status)) << "the program was killed by signal " << WTERMSIG(run.wait_status);
    EXPECT_NE(WEXITSTATUS(run.wait_status), k_sibling_left) << "sibling still running after kill_childs";
    EXPECT_EQ(WEXITSTATUS(run.wait_status), 0);
    EXPECT_NE(sibling.wait_exit(std::chrono::seconds(2)), -1);
}

// ---------------------------------------------------------------------------------------------
// get_nodename and is_sparse_file

TEST(GetNodename, MatchesKernelHostname)
{
    std::ifstream hostname("/proc/sys/kernel/hostname");
    std::string expected;
    std::getline(hostname, expected);
    EXPECT_EQ(kv_utils_common::get_nodename(), expected);
}

// Each test gets a fresh directory; it is kept, and named, when the test fails.
class TempDirTest : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kv_utils_common_XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
    }
    void TearDown() override
    {
        if (HasFailure()) {
            std::cerr << "test files kept in " << m_dir << '\n';
            return;
        }
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    std::filesystem::path m_dir;
};

using IsSparseFile = TempDirTest;

TEST_F(IsSparseFile, TellsHolesFromWrittenData)
{
    {
        std::ofstream dense(m_dir / "dense", std::ios::binary);
        dense << std::string(256 * 1024, 'd');
        std::ofstream empty(m_dir / "empty");
        std::ofstream sparse(m_dir / "sparse");
    }
    std::filesystem::resize_file(m_dir / "sparse", 8 * 1024 * 1024);
    std::filesystem::create_symlink(m_dir / "sparse", m_dir / "link_to_sparse");

    struct Case {
        const char* file;
        bool sparse;
    };
    for (const Case& c : {Case{"dense", false}, Case{"empty", false}, Case{"sparse", true}, Case{"link_to_sparse", true}}) {
        bool sparse = !c.sparse;
        std::string error = "unchanged";
        EXPECT_TRUE(kv_utils_common::is_sparse_file((m_dir / c.file).string(), sparse, error)) << c.file;
        EXPECT_EQ(sparse, c.sparse) << c.file;
    }
}

TEST_F(IsSparseFile, MissingFileGivesSystemTextAndLeavesFlag)
{
    for (const bool before : {false, true}) {
        bool sparse = before;
        std::string error;
        EXPECT_FALSE(kv_utils_common::is_sparse_file((m_dir / "missing").string(), sparse, error));
        EXPECT_EQ(sparse, before);
        EXPECT_EQ(error, "No such file or directory");
    }
}

} // namespace
