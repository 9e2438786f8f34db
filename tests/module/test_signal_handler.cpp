// The signal handlers and the stop points. Whatever ends a process (a stop, a pause waiting for
// its resume) runs in a forked copy of the test process; the copy reports through standard
// error, which run_forked collects.
#include "module/kv_signal_handler.h"

#include "common/kv_utils_common.h"
#include "common/stop_point.h"
#include "tests/module/module_test_support.h"
#include "tests/support/process_helpers.h"
#include "tests/support/temp_dir.h"
#include "veil/stop_points.h"

#include <boost/filesystem/operations.hpp>

#include <csignal>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
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
  std::function<void()> during_release;

  bool release_resource_after_backup() override {
    note("release begin");
    if (during_release) during_release();
    note("release end");
    return true;
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
  int status;  // exit code, -1 when ended by a signal
  std::string errors;
  milliseconds elapsed;
};

// Runs `body` with a StopModule whose handlers are installed, in a forked copy.
Timed stop_run(const std::function<int(StopModule&)>& body) {
  const auto start = Clock::now();
  const kv_test::ForkedRun run = kv_test::run_forked([&] {
    ::alarm(10);  // a hang ends the copy rather than the test run
    StopModule module;
    module.options_.operation = Backup;
    const auto handler = KvModuleSignalHandler::init(&module);
    return body(module);
  });
  return {WIFEXITED(run.wait_status) ? WEXITSTATUS(run.wait_status) : -1, run.errors,
          std::chrono::duration_cast<milliseconds>(Clock::now() - start)};
}

struct sigaction current(int signal) {
  struct sigaction action {};
  sigaction(signal, nullptr, &action);
  return action;
}

TEST_F(ModuleTest, InitInstallsTheHandlersAndTheModulesDestructionResetsThem) {
  const struct {
    int signal;
    void (*handler)(int);
    bool restart;
  } dispositions[] = {
      {SIGINT, &KvModuleSignalHandler::shutdown_handler, false},
      {SIGTERM, &KvModuleSignalHandler::shutdown_handler, false},
      {SIGSEGV, &KvModuleSignalHandler::shutdown_handler, true},
      {SIGTSTP, &KvModuleSignalHandler::pause_handler, true},
      {SIGCONT, &KvModuleSignalHandler::continue_handler, true},
      {SIGPIPE, &KvModuleSignalHandler::sigpipe_handler, true},
  };
  {
    FakeModule module;
    Args args({"-l"});
    ASSERT_TRUE(module.init(args.argc(), args.argv()));
    for (const auto& d : dispositions) {
      const struct sigaction action = current(d.signal);
      EXPECT_EQ(action.sa_handler, d.handler) << strsignal(d.signal);
      // Stop signals interrupt blocking calls, so that the loop around them reaches its stop point.
      EXPECT_EQ((action.sa_flags & SA_RESTART) != 0, d.restart) << strsignal(d.signal);
    }
    const struct sigaction pause = current(SIGTSTP);
    EXPECT_EQ(sigismember(&pause.sa_mask, SIGCONT), 1);
  }
  for (const auto& d : dispositions) EXPECT_EQ(current(d.signal).sa_handler, SIG_DFL) << strsignal(d.signal);
}

// --- The stop ---

struct StopCase {
  int signal;
  std::string errors;  // a fault cannot wait for the stop point
};

class StopSignal : public ModuleTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopSignal, IsCarriedOutAtTheNextStopPoint) {
  const int signal = GetParam().signal;
  const Timed t = stop_run([signal](StopModule&) {
    ::raise(signal);
    note("recorded");
    if (!kv_utils_common::stop_requested() || !kv_veil::stop_requested()) note("not pending");
    kelvanor::module::stop_point();
    return 0;
  });
  EXPECT_EQ(t.status, 17);
  EXPECT_EQ(t.errors, GetParam().errors);
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal,
                         ::testing::Values(StopCase{SIGINT, "recorded\nrelease begin\nrelease end\n"},
                                           StopCase{SIGTERM, "recorded\nrelease begin\nrelease end\n"},
                                           StopCase{SIGSEGV, "release begin\nrelease end\n"}));

// After the run, while the module is taken down: a stop all the same, without the module's hook.
TEST_F(ModuleTest, StopLeftPendingAtTheEndIsCarriedOutWhenTheHandlerGoes) {
  const kv_test::ForkedRun run = kv_test::run_forked([] {
    StopModule module;
    auto handler = KvModuleSignalHandler::init(&module);
    ::raise(SIGTERM);
    handler.reset();
    note("handler gone");
    return 0;
  });
  EXPECT_EQ(WEXITSTATUS(run.wait_status), 17);
  EXPECT_EQ(run.errors, "");
}

// A stop that lands after the operation's last stop point (here in a preparation that then
// fails, so the backup itself releases nothing) is carried out before the run ends, with the
// module's release, rather than by the end of the program, which no longer has the module.
TEST_F(ModuleTest, StopAfterTheLastStopPointOfTheOperationStillReleases) {
  const Timed t = stop_run([this](StopModule& module) {
    module.options_.tmp_operation_directory = dir();
    module.options_.archive_name = "arch";
    module.results.prepare = false;
    module.throw_in = "prepare";
    module.thrower = [] { ::raise(SIGTERM); };
    return static_cast<int>(module.run());
  });
  EXPECT_EQ(t.status, 17);
  EXPECT_EQ(t.errors, "release begin\nrelease end\n");
}

// Opens `fifo` for writing as soon as a reader has it open, then sends SIGTERM to this process
// and keeps the writing end (no byte written) until this process has ended. From a helper
// that is not a child of this process, as in signal_me_after.
void stop_me_once_read(const std::string& fifo) {
  const pid_t target = ::getpid();
  const pid_t child = ::fork();
  if (child == 0) {
    if (::fork() == 0) {
      // Nothing of the forked run's is kept open: its report ends with the run, not with this.
      for (int inherited = 0; inherited < 1024; ++inherited) ::close(inherited);
      int fd = -1;
      for (int i = 0; i < 1000 && (fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) < 0; ++i) ::usleep(10'000);
      if (fd >= 0) ::kill(target, SIGTERM);
      for (int i = 0; i < 1000 && ::kill(target, 0) == 0; ++i) ::usleep(10'000);
      ::_exit(0);
    }
    ::_exit(0);
  }
  ::waitpid(child, nullptr, 0);
}

class StopWhileUnpacking : public ModuleTest, public ::testing::WithParamInterface<KvModuleOperations> {};

// Verification and deletion unpack the client's snapshot file into a temporary folder of their
// own; a stop while they do (here while tar waits on a snapshot file that is a FIFO) takes that
// folder away with the run.
TEST_P(StopWhileUnpacking, RemovesTheRunsTemporaryFolder) {
  const std::string tmp = dir() + "/tmp";
  const std::string snapshot = dir() + "/kv-arch.snap";
  ASSERT_TRUE(boost::filesystem::create_directory(tmp));
  ASSERT_EQ(::mkfifo(snapshot.c_str(), 0600), 0);
  const Timed t = stop_run([&](StopModule& module) {
    ::setenv("TMPDIR", tmp.c_str(), 1);
    module.options_.operation = GetParam();
    module.options_.meta_file = snapshot;
    module.options_.client_defined_storage_json = "{}";
    stop_me_once_read(snapshot);
    return static_cast<int>(module.run());
  });
  EXPECT_EQ(t.status, 17) << t.errors;
  EXPECT_TRUE(boost::filesystem::is_empty(tmp));
}

INSTANTIATE_TEST_SUITE_P(Operations, StopWhileUnpacking,
                         ::testing::Values(DeleteFromClientDefinedStorage, VerifyInClientDefinedStorage));

TEST_F(ModuleTest, SignalsDuringTheShutdownHookNeitherRunItAgainNorCutItShort) {
  const Timed t = stop_run([](StopModule& module) {
    module.during_release = [] {
      ::raise(SIGTERM);
      ::raise(SIGINT);
      kelvanor::module::stop_point();
      if (kv_veil::stop_requested()) note("the release's transfers would be aborted");
      kv_utils_common::sleep_or_stop(milliseconds(300));
    };
    ::raise(SIGTERM);
    kv_utils_common::stop_point();
    return 0;
  });
  EXPECT_EQ(t.status, 17);
  EXPECT_EQ(t.errors, "release begin\nrelease end\n");
  EXPECT_GE(t.elapsed, milliseconds(300));
}

// The polling pause wakes at once rather than at the end of its second, also when the signal
// lands on another thread (one of libcurl's, say) and leaves the waiting one uninterrupted.
TEST_F(ModuleTest, StopRequestedDuringThePollingPauseIsCarriedOutAtOnce) {
  const Timed t = stop_run([](StopModule&) {
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    std::thread([] { ::pause(); }).detach();
    ::pthread_sigmask(SIG_BLOCK, &term, nullptr);
    signal_me_after(SIGTERM, milliseconds(200));
    for (int i = 0; i < 10; ++i) (void)kv_veil::pause_one_second();
    note("slept through");
    return 0;
  });
  EXPECT_EQ(t.status, 17);
  EXPECT_EQ(t.errors, "release begin\nrelease end\n");
  EXPECT_LT(t.elapsed, milliseconds(950));
}

TEST_F(ModuleTest, StopRequestedWhileReadingASilentChildTerminatesItAndStops) {
  const std::string pid_file = dir() + "/child.pid";
  const Timed t = stop_run([&](StopModule&) {
    std::string output;
    // The command asks its parent (this process) to stop, then stays silent.
    (void)kv_utils_common::execute_command("echo $$ > " + pid_file + "; kill -TERM $PPID; exec sleep 30", output);
    note("command ended");
    return 0;
  });
  EXPECT_EQ(t.status, 17);
  EXPECT_EQ(t.errors, "release begin\nrelease end\n");
  EXPECT_LT(t.elapsed, milliseconds(5000));
  EXPECT_TRUE(kv_test::wait_until_ended(std::stoi(kv_test::read_file(pid_file)), milliseconds(2000)));
}

// --- Pause and resume ---

TEST_F(ModuleTest, PauseStopsTheDataMoverAndWaitsUntilTheResume) {
  kv_test::ShellProcess data_mover("echo mover $$; exec sleep 30");
  const int mover = data_mover.read_pids(1).at("mover");
  const Timed t = stop_run([this, mover](StopModule& module) {
    module.kvfd_pid = mover;
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
    const std::string pid = std::to_string(::getpid());
    note(module.paused ? "still paused" : "resumed");
    const auto info = log_at("Info");
    if (info != std::vector<std::string>{"Module pid: " + pid + " put on pause", "Module pid: " + pid + " continue working"})
      note("log differs");
    return 0;
  });
  EXPECT_EQ(t.status, 0);
  EXPECT_EQ(t.errors, "mover during the pause: T\nresumed\n");
  EXPECT_GE(t.elapsed, milliseconds(400));
  EXPECT_LT(t.elapsed, milliseconds(1400));
  EXPECT_NE(process_state(mover), 'T');
}

TEST_F(ModuleTest, StopRequestedDuringAPauseEndsItAndIsCarriedOut) {
  const Timed t = stop_run([](StopModule&) {
    signal_me_after(SIGTERM, milliseconds(200));
    ::raise(SIGTSTP);
    note("pause left");
    kelvanor::module::stop_point();
    return 0;
  });
  EXPECT_EQ(t.status, 17);
  EXPECT_EQ(t.errors, "pause left\nrelease begin\nrelease end\n");
  EXPECT_LT(t.elapsed, milliseconds(1500));
}

// A destination that raises SIGTSTP against its own process in the middle of its first write,
// while the logger holds the destination's lock: the pause must wait for the next stop point.
class PausingLogger : public RecordingLogger {
 public:
  using RecordingLogger::RecordingLogger;

 protected:
  int write_log_impl(const std::string& text) override {
    if (!std::exchange(m_raised, true)) ::raise(SIGTSTP);
    return RecordingLogger::write_log_impl(text);
  }

 private:
  bool m_raised = false;
};

TEST_F(ModuleTest, PauseArrivingInsideALogWriteIsCarriedOutAtTheNextStopPoint) {
  const Timed t = stop_run([](StopModule& module) {
    std::vector<std::string> lines;
    KvLogStream::set_default_loggers(std::make_unique<PausingLogger>(lines));
    signal_me_after(SIGCONT, milliseconds(300));
    KvLogStream(KvLogLvl::Info) << "before the pause" << std::endl;
    note(module.paused ? "write done, pause pending" : "not paused");
    kv_utils_common::sleep_or_stop(milliseconds(10));
    note(module.paused ? "still paused" : "resumed");
    return 0;
  });
  EXPECT_EQ(t.status, 0);
  EXPECT_EQ(t.errors, "write done, pause pending\nresumed\n");
  EXPECT_GE(t.elapsed, milliseconds(300));
}

}  // namespace
