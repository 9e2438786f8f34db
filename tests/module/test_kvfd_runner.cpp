#include "tests/module/module_test_support.h"

#include "tests/support/process_helpers.h"
#include "tests/support/temp_dir.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <iostream>
#include <sstream>
#include <string>

#include <unistd.h>

using namespace module_test;

namespace {

constexpr const char* k_run_sig =
    "bool KvModuleUniversal::run_kvfd_command(const string&, std::string&, pid_t&, std::string&)";

using Clock = std::chrono::steady_clock;

class KvfdRunner : public ModuleTest {
 protected:
  // Runs `script` as the data mover command.
  bool run(const std::string& script) {
    m_output.clear();
    m_statistics.clear();
    return m_module.run_kvfd_command(script, m_output, m_module.kvfd_pid, m_statistics);
  }

  FakeModule m_module;
  std::string m_output;
  std::string m_statistics;
};

TEST_F(KvfdRunner, RelaysPidAndProgressAndKeepsTheRest) {
  const std::string script =
      "printf 'KVFD PID: 4242\\nPacked: 1 GiB\\r\\nreading /dev/vdb\\nUnpacked: 2\\rTransferred: 3\\nTransferred: 5'";
  EXPECT_TRUE(run(script));
  EXPECT_EQ(out(), "KVFD PID: 4242\nPacked: 1 GiB\nUnpacked: 2\nTransferred: 3\n");
  // The carriage return and line feed end an empty line; the unterminated last line is dropped.
  EXPECT_EQ(m_output, "\nreading /dev/vdb\n");
  EXPECT_EQ(m_statistics, "3");
  EXPECT_EQ(m_module.kvfd_pid, 0);  // reset by the normal exit
  EXPECT_EQ(log_at("Info"), std::vector<std::string>{std::string(k_run_sig) + ":kvfd command: " + script});
  EXPECT_EQ(log_at("Debug"), (std::vector<std::string>{"kvfd process status 0x0.", "kvfd process exits with 0x0 status."}));
}

// A flush per line, or a read per character, would cut the relay of a flood of progress lines
// to a fraction: the lines of one read leave in one flush.
TEST_F(KvfdRunner, LinesReadTogetherLeaveTogether) {
  struct FlushCounter : std::stringbuf {
    int flushes = 0;
    int sync() override { return ++flushes, 0; }
  } relayed;
  std::streambuf* const captured = std::cout.rdbuf(&relayed);
  const bool done = run("seq -f 'Packed: %g' 1000");
  std::cout.rdbuf(captured);
  EXPECT_TRUE(done);
  const std::string text = relayed.str();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1000);
  EXPECT_LT(relayed.flushes, 100);
}

struct ExitCase {
  int code;
  bool result;
  bool incomplete;
  std::vector<std::string> warnings;
  std::string status_line;
};

class KvfdExit : public KvfdRunner, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(KvfdExit, StatusGivesTheResult) {
  const ExitCase& c = GetParam();
  EXPECT_EQ(run("echo 'KVFD PID: 77'; exit " + std::to_string(c.code)), c.result);
  EXPECT_EQ(m_module.data_incomplete, c.incomplete);
  EXPECT_EQ(warnings(), c.warnings);
  EXPECT_EQ(m_module.kvfd_pid, 0);
  EXPECT_EQ(log_at("Debug").back(), c.status_line);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, KvfdExit,
    ::testing::Values(ExitCase{0, true, false, {}, "kvfd process exits with 0x0 status."},
                      ExitCase{100, true, true, {"kvfd finished with a defect flag"}, "kvfd process exits with 0x64 status."},
                      ExitCase{1, false, false, {"kvfd finished with an error flag"}, "kvfd process exits with 0x1 status."},
                      ExitCase{2, false, false, {}, "kvfd process exits with 0x2 status."}));

TEST_F(KvfdRunner, EndBySignalKeepsThePid) {
  EXPECT_FALSE(run("echo 'KVFD PID: 4343'; kill -KILL $$"));
  EXPECT_EQ(m_module.kvfd_pid, 4343);
  EXPECT_EQ(warnings(), std::vector<std::string>{"kvfd process terminates with 0x9 signal."});
  EXPECT_EQ(log_at("Debug"), std::vector<std::string>{"kvfd process status 0x9."});
}

// Ended by a signal, so that the pid is kept for a look at it.
TEST_F(KvfdRunner, RemotePidIsRelayedButTheLocalSshIsTheOneSignalled) {
  EXPECT_FALSE(m_module.run_remote_kvfd_command("sh -c 'echo \"KVFD PID: 4343\"; echo $$; kill -KILL $$'", m_output,
                                                m_module.kvfd_pid, m_statistics));
  EXPECT_EQ(out(), "KVFD PID: 4343\n");
  EXPECT_EQ(m_output, std::to_string(m_module.kvfd_pid) + "\n");
}

TEST_F(KvfdRunner, DataMoverDoesNotReadTheProgramsInput) {
  // The program's input stands for a terminal: whatever is typed there is not the data mover's.
  int input[2];
  ASSERT_EQ(::pipe(input), 0);
  ASSERT_EQ(::write(input[1], "typed\n", 6), 6);
  ::close(input[1]);
  const int saved = ::dup(STDIN_FILENO);
  ::dup2(input[0], STDIN_FILENO);
  ::close(input[0]);
  const bool result = run("cat");
  ::dup2(saved, STDIN_FILENO);
  ::close(saved);
  EXPECT_TRUE(result);
  EXPECT_EQ(m_output, "");
}

// The data mover's pid file and the sleeping process it started stand for a data mover that
// still works when the reading ends early.
class KvfdRunnerStop : public KvfdRunner {
 protected:
  kv_test::TempDir m_dir;
  std::string pid_file() const { return m_dir / "worker.pid"; }
  int worker_pid() const { return std::stoi(kv_test::read_file(pid_file())); }
};

TEST_F(KvfdRunnerStop, BadPidEndsTheRunAndTheDataMover) {
  const auto start = Clock::now();
  EXPECT_FALSE(run("sleep 60 & echo $! > " + pid_file() + "; echo 'KVFD PID: abc'; wait"));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(errors(), std::vector<std::string>{std::string(k_run_sig) + ": invalid data mover pid: KVFD PID: abc"});
  EXPECT_FALSE(kv_test::is_running(worker_pid()));
  EXPECT_EQ(out(), "");
  EXPECT_EQ(m_module.kvfd_pid, 0);  // never set
}

TEST_F(KvfdRunnerStop, PausedDataMoverIsEndedToo) {
  EXPECT_FALSE(run("sleep 60 & echo $! > " + pid_file() + "; kill -STOP $!; echo 'KVFD PID: 0'; wait"));
  EXPECT_TRUE(kv_test::wait_until_ended(worker_pid(), std::chrono::seconds(1)));
}

TEST_F(KvfdRunnerStop, DataMoverIgnoringTermIsKilled) {
  const auto start = Clock::now();
  EXPECT_FALSE(run("trap '' TERM; sleep 60 & echo $! > " + pid_file() + "; echo 'KVFD PID: -1'; wait"));
  EXPECT_GE(Clock::now() - start, std::chrono::seconds(4));
  EXPECT_TRUE(kv_test::wait_until_ended(worker_pid(), std::chrono::seconds(1)));
}

extern "C" void note_signal(int) {}

TEST_F(KvfdRunner, SignalWhileReadingIsNotTheEndOfTheOutput) {
  struct sigaction handler {};
  struct sigaction saved {};
  handler.sa_handler = note_signal;  // no SA_RESTART: the blocked read returns EINTR
  sigemptyset(&handler.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &handler, &saved), 0);
  const bool result = run("echo 'Packed: 1'; kill -USR1 $PPID; sleep 0.3; echo 'Packed: 2'");
  sigaction(SIGUSR1, &saved, nullptr);
  EXPECT_TRUE(result);
  EXPECT_EQ(out(), "Packed: 1\nPacked: 2\n");
}

}  // namespace
