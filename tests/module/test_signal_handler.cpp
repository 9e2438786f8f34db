// The signal handlers and the stop points. Whatever ends a process (a stop, a pause waiting for
// its resume) runs in a forked copy of the test process; the copy reports through standard
// error, which run_forked collects.
#include "module/kv_signal_handler.h"

#include "common/kv_utils_common.h"
#include "common/stop_point.h"
#include "tests/module/module_test_support.h"
#include "tests/support/process_helpers.h"
#include "veil/stop_points.h"

#include <csignal>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

using namespace module_test;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Straight to fd 2: the fixture has taken over std::cerr.
void note(const std::string& text) {
  const std::string line = text + "\n";
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
}

// A backup module whose shutdown hook (the release) reports on fd 2.
class StopModule : public FakeModule {
 public:
  StopModule() : FakeModule(backup_options()) {}

  std::function<void()> during_release;

  bool release_resource_after_backup() override {
    note("release begin");
    if (during_release) during_release();
    note("release end");
    return true;
  }

 private:
  static KvModuleOptions backup_options() {
    KvModuleOptions options;
    options.operation = Backup;
    return options;
  }
};

// Sends `signal` to this process after `delay`, from a helper that is not a child of this
// process (the stop terminates children, and even a zombie costs it a second).
void signal_me_after(int signal, milliseconds delay) {
  const pid_t target = ::getpid();
  const pid_t child = ::fork();
  if (child == 0) {
    if (::fork() == 0) {
      ::usleep(static_cast<useconds_t>(delay.count() * 1000));
      ::kill(target, signal);
    }
    ::_exit(0);
  }
  ::waitpid(child, nullptr, 0);
}

// The state letter of /proc/<pid>/stat: 'T' for a stopped process.
char process_state(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  const auto name_end = text.rfind(')');
  return name_end == std::string::npos || name_end + 2 >= text.size() ? '?' : text[name_end + 2];
}

struct Timed {
  kv_test::ForkedRun run;
  milliseconds elapsed;
};

Timed timed_fork(const std::function<int()>& body) {
  const auto start = Clock::now();
  kv_test::ForkedRun run = kv_test::run_forked(body);
  return {run, std::chrono::duration_cast<milliseconds>(Clock::now() - start)};
}

int exit_code(const kv_test::ForkedRun& run) { return WIFEXITED(run.wait_status) ? WEXITSTATUS(run.wait_status) : -1; }

// --- Installation ---

struct Disposition {
  int signal;
  void (*handler)(int);
  bool restart;
};

const Disposition k_dispositions[] = {
    {SIGINT, &KvModuleSignalHandler::shutdown_handler, false},
    {SIGTERM, &KvModuleSignalHandler::shutdown_handler, false},
    {SIGSEGV, &KvModuleSignalHandler::shutdown_handler, true},
    {SIGTSTP, &KvModuleSignalHandler::pause_handler, true},
    {SIGCONT, &KvModuleSignalHandler::continue_handler, true},
    {SIGPIPE, &KvModuleSignalHandler::sigpipe_handler, true},
};

struct sigaction current(int signal) {
  struct sigaction action {};
  sigaction(signal, nullptr, &action);
  return action;
}

TEST_F(ModuleTest, InitInstallsTheHandlersAndTheModulesDestructionResetsThem) {
  {
    FakeModule module;
    Args args({"-l"});
    ASSERT_TRUE(module.init(args.argc(), args.argv()));
    EXPECT_EQ(KvModuleSignalHandler::module_ptr_, &module);
    for (const Disposition& d : k_dispositions) {
      const struct sigaction action = current(d.signal);
      EXPECT_EQ(action.sa_handler, d.handler) << strsignal(d.signal);
      // Stop signals interrupt blocking calls, so that the loop around them reaches its stop point.
      EXPECT_EQ((action.sa_flags & SA_RESTART) != 0, d.restart) << strsignal(d.signal);
    }
    const struct sigaction pause = current(SIGTSTP);
    EXPECT_EQ(sigismember(&pause.sa_mask, SIGCONT), 1);
  }
  for (const Disposition& d : k_dispositions) EXPECT_EQ(current(d.signal).sa_handler, SIG_DFL) << strsignal(d.signal);
  EXPECT_FALSE(kv_utils_common::stop_requested());
}

// --- The stop ---

class StopSignal : public ModuleTest, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignal, IsOnlyRecordedUntilTheNextStopPoint) {
  const int signal = GetParam();
  const Timed t = timed_fork([signal] {
    StopModule module;
    const auto handler = KvModuleSignalHandler::init(&module);
    ::raise(signal);
    note("recorded");
    if (!kelvanor::module::stop_requested() || !kv_utils_common::stop_requested() || !kv_veil::stop_requested())
      note("not pending");
    kelvanor::module::stop_point();
    note("stop point returned");
    return 0;
  });
  EXPECT_EQ(exit_code(t.run), 17);
  EXPECT_EQ(t.run.errors, "recorded\nrelease begin\nrelease end\n");
}

INSTANTIATE_TEST_SUITE_P(IntAndTerm, StopSignal, ::testing::Values(SIGINT, SIGTERM));

// After the run, while the module is taken down: a stop all the same, without the module's hook.
TEST_F(ModuleTest, StopLeftPendingAtTheEndIsCarriedOutWhenTheHandlerGoes) {
  const Timed t = timed_fork([] {
    StopModule module;
    auto handler = KvModuleSignalHandler::init(&module);
    ::raise(SIGTERM);
    handler.reset();
    note("handler gone");
    return 0;
  });
  EXPECT_EQ(exit_code(t.run), 17);
  EXPECT_EQ(t.run.errors, "");
}

TEST_F(ModuleTest, SignalsDuringTheShutdownHookNeitherRunItAgainNorCutItShort) {
  const Timed t = timed_fork([] {
    StopModule module;
    module.during_release = [] {
      ::raise(SIGTERM);
      ::raise(SIGINT);
      kelvanor::module::stop_point();
      if (kv_veil::stop_requested()) note("the release's transfers would be aborted");
      kv_utils_common::sleep_or_stop(milliseconds(300));
    };
    const auto handler = KvModuleSignalHandler::init(&module);
    ::raise(SIGTERM);
    kv_utils_common::stop_point();
    return 0;
  });
  EXPECT_EQ(exit_code(t.run), 17);
  EXPECT_EQ(t.run.errors, "release begin\nrelease end\n");
  EXPECT_GE(t.elapsed, milliseconds(300));
}

TEST_F(ModuleTest, SigsegvStopsInsideItsHandler) {
  const Timed t = timed_fork([] {
    StopModule module;
    const auto handler = KvModuleSignalHandler::init(&module);
    ::raise(SIGSEGV);
    note("returned from the fault");
    return 0;
  });
  EXPECT_EQ(exit_code(t.run), 17);
  EXPECT_EQ(t.run.errors, "release begin\nrelease end\n");
}

// The polling pause wakes at once rather than at the end of its second.
TEST_F(ModuleTest, StopRequestedDuringThePollingPauseIsCarriedOutAtOnce) {
  const Timed t = timed_fork([] {
    StopModule module;
    const auto handler = KvModuleSignalHandler::init(&module);
    signal_me_after(SIGTERM, milliseconds(200));
    for (int i = 0; i < 10; ++i) (void)kv_veil::pause_one_second();
    note("slept through");
    return 0;
  });
  EXPECT_EQ(exit_code(t.run), 17);
  EXPECT_EQ(t.run.errors, "release begin\nrelease end\n");
  EXPECT_LT(t.elapsed, milliseconds(950));
}

TEST_F(ModuleTest, StopRequestedWhileReadingASilentChildTerminatesItAndStops) {
  const std::string pid_file = dir() + "/child.pid";
  const Timed t = timed_fork([&] {
    StopModule module;
    const auto handler = KvModuleSignalHandler::init(&module);
    std::string output;
    // The command asks its parent (this process) to stop, then stays silent.
    (void)kv_utils_common::execute_command("echo $$ > " + pid_file + "; kill -TERM $PPID; exec sleep 30", output);
    note("command ended");
    return 0;
  });
  EXPECT_EQ(exit_code(t.run), 17);
  EXPECT_EQ(t.run.errors.find("release begin\nrelease end\n"), 0u) << t.run.errors;
  EXPECT_EQ(t.run.errors.find("command ended"), std::string::npos);
  EXPECT_LT(t.elapsed, milliseconds(5000));
  std::ifstream pid_stream(pid_file);
  int child = 0;
  ASSERT_TRUE(pid_stream >> child);
  EXPECT_TRUE(kv_test::wait_until_ended(child, milliseconds(2000)));
}

TEST_F(ModuleTest, ReadsThroughStopPointsLoseNothingAndOtherSignalsDoNotEndThem) {
  FakeModule module;
  Args args({"-l"});
  ASSERT_TRUE(module.init(args.argc(), args.argv()));
  std::string output = "before:";
  // A pause in the middle of a line, a handled signal (SIGPIPE, absorbed) while the command is
  // silent, and a line longer than one read.
  const int code = kv_utils_common::execute_command(
      "printf abc; sleep 0.2; printf 'def\\n'; kill -PIPE $PPID; sleep 0.2; printf '%02000d\\n' 7", output);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(output, "before:abcdef\n" + std::string(1999, '0') + "7\n");
}

// --- Pause and resume ---

TEST_F(ModuleTest, PauseStopsTheDataMoverAndWaitsUntilTheResume) {
  kv_test::ShellProcess data_mover("echo mover $$; exec sleep 30");
  const int mover = data_mover.read_pids(1).at("mover");
  const Timed t = timed_fork([mover] {
    StopModule module;
    module.kvfd_pid = mover;
    const auto handler = KvModuleSignalHandler::init(&module);
    // The helper looks at the data mover while this process is held in the pause.
    const pid_t self = ::getpid();
    if (::fork() == 0) {
      ::usleep(400 * 1000);
      note(std::string("mover during the pause: ") + process_state(mover));
      ::kill(self, SIGCONT);
      ::_exit(0);
    }
    ::raise(SIGTSTP);
    kelvanor::module::stop_point();
    note(module.paused ? "still paused" : "resumed");
    return 0;
  });
  EXPECT_EQ(exit_code(t.run), 0);
  EXPECT_EQ(t.run.errors, "mover during the pause: T\nresumed\n");
  EXPECT_GE(t.elapsed, milliseconds(400));
  EXPECT_LT(t.elapsed, milliseconds(1400));
  const char state = process_state(mover);
  EXPECT_TRUE(state == 'S' || state == 'R') << state;
}

TEST_F(ModuleTest, PauseAndResumeAreLoggedWithThePid) {
  const Timed t = timed_fork([this] {
    StopModule module;
    const auto handler = KvModuleSignalHandler::init(&module);
    signal_me_after(SIGCONT, milliseconds(200));
    ::raise(SIGTSTP);
    kelvanor::module::stop_point();
    const std::string pid = std::to_string(::getpid());
    const auto info = log_at("Info");
    note(info == std::vector<std::string>{"Module pid: " + pid + " put on pause", "Module pid: " + pid + " continue working"}
             ? "logged"
             : "log differs");
    return 0;
  });
  EXPECT_EQ(exit_code(t.run), 0);
  EXPECT_EQ(t.run.errors, "logged\n");
}

TEST_F(ModuleTest, StopRequestedDuringAPauseEndsItAndIsCarriedOutAtTheNextStopPoint) {
  const Timed t = timed_fork([] {
    StopModule module;
    const auto handler = KvModuleSignalHandler::init(&module);
    signal_me_after(SIGTERM, milliseconds(200));
    ::raise(SIGTSTP);
    note("pause left");
    kelvanor::module::stop_point();
    return 0;
  });
  EXPECT_EQ(exit_code(t.run), 17);
  EXPECT_EQ(t.run.errors, "pause left\nrelease begin\nrelease end\n");
  EXPECT_LT(t.elapsed, milliseconds(1500));
}

// A destination that raises SIGTSTP against its own process in the middle of its first write,
// while the logger holds the destination's lock.
class PausingLogger : public RecordingLogger {
 public:
  using RecordingLogger::RecordingLogger;

 protected:
  int write_log_impl(const std::string& text) override {
    if (!m_raised) {
      m_raised = true;
      ::raise(SIGTSTP);
    }
    return RecordingLogger::write_log_impl(text);
  }

 private:
  bool m_raised = false;
};

TEST_F(ModuleTest, PauseArrivingInsideALogWriteIsCarriedOutAtTheNextStopPoint) {
  const Timed t = timed_fork([] {
    // A hang ends the copy with SIGALRM rather than the test run.
    ::alarm(5);
    std::vector<std::string> lines;
    KvLogStream::set_default_loggers(std::make_unique<PausingLogger>(lines));
    StopModule module;
    const auto handler = KvModuleSignalHandler::init(&module);
    signal_me_after(SIGCONT, milliseconds(300));
    KvLogStream(KvLogLvl::Info) << "before the pause" << std::endl;
    note(module.paused ? "write done, pause pending" : "not paused");
    // The polling pause is a stop point: the module holds still there until the resume.
    kv_utils_common::sleep_or_stop(milliseconds(10));
    note(module.paused ? "still paused" : "resumed");
    const std::string pid = std::to_string(::getpid());
    note(lines == std::vector<std::string>{"Info: before the pause", "Info: Module pid: " + pid + " put on pause",
                                           "Info: Module pid: " + pid + " continue working"}
             ? "logged"
             : "log differs");
    return 0;
  });
  EXPECT_EQ(exit_code(t.run), 0);
  EXPECT_EQ(t.run.errors, "write done, pause pending\nresumed\nlogged\n");
  EXPECT_GE(t.elapsed, milliseconds(300));
  EXPECT_LT(t.elapsed, milliseconds(1300));
}

TEST_F(ModuleTest, SigpipeIsAbsorbed) {
  const Timed t = timed_fork([] {
    StopModule module;
    const auto handler = KvModuleSignalHandler::init(&module);
    ::raise(SIGPIPE);
    int fds[2];
    if (::pipe(fds) != 0) return 2;
    ::close(fds[0]);
    // A write to a pipe nobody reads fails instead of ending the process.
    const bool failed = ::write(fds[1], "x", 1) == -1 && errno == EPIPE;
    return failed ? 0 : 3;
  });
  EXPECT_EQ(exit_code(t.run), 0) << t.run.errors;
}

}  // namespace
