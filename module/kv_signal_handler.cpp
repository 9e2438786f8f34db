#include "module/kv_signal_handler.h"

#include "common/kv_logger.h"
#include "common/kv_utils_common.h"
#include "common/stop_point.h"
#include "module/kv_modules_common.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

KvModuleUniversal* KvModuleSignalHandler::module_ptr_ = nullptr;

namespace {

// [Start of the state touched by the signal handlers]
//   g_stop_signal, g_stopping, g_pause_pending, g_resume_pending, g_passed_on, g_wake_pipe
//   below;
//   KvModuleSignalHandler::module_ptr_ and, through it, the module's paused and kvfd_pid
//   (read and written by the pause and resume handlers).
volatile std::sig_atomic_t g_stop_signal = 0;     // SIGINT or SIGTERM once a stop is requested
volatile std::sig_atomic_t g_stopping = 0;        // the stop is being carried out: no second one
volatile std::sig_atomic_t g_pause_pending = 0;   // SIGTSTP came in: log the pause and hold still
volatile std::sig_atomic_t g_resume_pending = 0;  // SIGCONT came in: log the resume
int g_wake_pipe[2] = {-1, -1};                    // self-pipe: one byte per request
// What the pause and the resume handler passed on to the data mover, reported at the stop point.
struct passed_on {
  volatile std::sig_atomic_t pid = 0;    // the data mover's; 0 when there is nothing to report
  volatile std::sig_atomic_t error = 0;  // errno of kill(), 0 when the signal went out
};
passed_on g_passed_on[2];  // [0] SIGTSTP, [1] SIGCONT
// [End of the state touched by the signal handlers]

struct handled_signal {
  int number;
  void (*handler)(int);
  // Without SA_RESTART a read or wait that the signal interrupts returns EINTR, so the loop
  // around it reaches its stop point instead of going back to sleep in the kernel.
  bool restart;
};

// In the order of installation and of reset.
constexpr handled_signal k_handled_signals[] = {
    {SIGINT, &KvModuleSignalHandler::shutdown_handler, false},
    {SIGTERM, &KvModuleSignalHandler::shutdown_handler, false},
    {SIGSEGV, &KvModuleSignalHandler::shutdown_handler, true},
    {SIGTSTP, &KvModuleSignalHandler::pause_handler, true},
    {SIGCONT, &KvModuleSignalHandler::continue_handler, true},
    {SIGPIPE, &KvModuleSignalHandler::sigpipe_handler, true},
};

void install(const handled_signal& entry) {
  struct sigaction action {};
  action.sa_handler = entry.handler;
  sigemptyset(&action.sa_mask);
  // The pause handler sets `paused` after it has passed the pause on; a resume landing between
  // the two would be undone by it and leave the module paused for good.
  if (entry.number == SIGTSTP) sigaddset(&action.sa_mask, SIGCONT);
  action.sa_flags = entry.restart ? SA_RESTART : 0;
  sigaction(entry.number, &action, nullptr);
}

void reset(const handled_signal& entry) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(entry.number, &action, nullptr);
}

void drain_wake_pipe() {
  if (g_wake_pipe[0] < 0) return;
  char bytes[64];
  while (::read(g_wake_pipe[0], bytes, sizeof bytes) > 0) {
  }
}

// One pipe for the life of the process; both ends close on exec, so children never hold it.
void prepare_wake_pipe() {
  if (g_wake_pipe[0] >= 0) {
    drain_wake_pipe();
    return;
  }
  if (::pipe2(g_wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) g_wake_pipe[0] = g_wake_pipe[1] = -1;
}

passed_on& passed_on_for(int signal) { return g_passed_on[signal == SIGTSTP ? 0 : 1]; }

// The stdout line of kv_utils_common::send_signal, which cannot run in a handler.
void report_passed_on(int signal) {
  passed_on& record = passed_on_for(signal);
  const int pid = record.pid;
  const int error = record.error;
  record.pid = 0;
  if (pid <= 0) return;
  // A data mover already gone (ESRCH) is passed over silently, as send_signal does.
  if (error == 0 || error == EPERM) kv_utils_common::report_sent_signal(pid, signal, error);
}

// Async-signal-safe: wakes a wait in poll, so that it reaches its stop point at once.
void wake() {
  if (g_wake_pipe[1] >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_wake_pipe[1], &byte, 1);
  }
}

// Async-signal-safe: flags and one write.
void request_stop(int signal) {
  if (g_stopping != 0 || g_stop_signal != 0) return;
  g_stop_signal = signal;
  wake();
}

// The stop. It runs once: a signal that comes in while it runs (a second SIGTERM during the
// module's release, say) neither starts it again nor cuts the release short.
[[noreturn]] void carry_out_stop() {
  g_stopping = 1;
  drain_wake_pipe();
  const pid_t self = ::getpid();
  try {
    kv_utils_common::kill_childs(self);
  } catch (...) {
  }
  if (KvModuleUniversal* module = KvModuleSignalHandler::module_ptr_) {
    try {
      module->handle_shutdown_signal();
    } catch (...) {
    }
  }
  try {
    KvLogStream(KvLogLvl::Info) << "Module was terminated. PID: " << self << std::endl;
    std::cout.flush();
    std::cerr.flush();
  } catch (...) {
  }
  std::fflush(nullptr);
  // No destructors: the run is abandoned where it stands (its lock file stays for the next run).
  ::_exit(kelvanor::module::k_terminated_status);
}

// The control the waits of the lower layers ask.
bool stop_waiting() noexcept { return kelvanor::module::stop_requested(); }

bool anything_pending() noexcept {
  return kelvanor::module::stop_requested() || g_pause_pending != 0 || g_resume_pending != 0;
}

// Each flag is cleared before its work is done, so a signal that comes in meanwhile is kept for
// the next round. A resume that came in before its pause was carried out has cleared `paused`
// already: the pause is logged and ends at once. A stop comes first and ends any pause.
void carry_out_pending(bool with_stop) {
  for (;;) {
    if (with_stop && kelvanor::module::stop_requested()) carry_out_stop();
    KvModuleUniversal* module = KvModuleSignalHandler::module_ptr_;
    if (g_pause_pending != 0) {
      g_pause_pending = 0;
      drain_wake_pipe();
      if (module != nullptr) module->set_to_pause();
    } else if (g_resume_pending != 0) {
      g_resume_pending = 0;
      drain_wake_pipe();
      if (module != nullptr) module->continue_working();
    } else {
      return;
    }
  }
}

}  // namespace

namespace kelvanor::module {

bool stop_requested() noexcept { return g_stop_signal != 0 && g_stopping == 0; }

void stop_point() { carry_out_pending(true); }

}  // namespace kelvanor::module

KvModuleSignalHandler::KvModuleSignalHandler(KvModuleUniversal* module) {
  module_ptr_ = module;
  g_stop_signal = 0;
  g_stopping = 0;
  g_pause_pending = 0;
  g_resume_pending = 0;
  for (passed_on& record : g_passed_on) record.pid = 0;
  prepare_wake_pipe();
  kv_utils_common::set_stop_control({&stop_waiting, &anything_pending, &carry_out_pending, g_wake_pipe[0]});
  for (const handled_signal& entry : k_handled_signals) install(entry);
}

KvModuleSignalHandler::~KvModuleSignalHandler() {
  for (const handled_signal& entry : k_handled_signals) reset(entry);
  kv_utils_common::set_stop_control({});
  // A stop that came in after the run's last stop point, while the module is taken down, still
  // ends the program as a stop. The module's hook is left out: its operation is over, and the
  // object is partly destroyed already.
  if (kelvanor::module::stop_requested()) {
    module_ptr_ = nullptr;
    carry_out_stop();
  }
}

std::unique_ptr<KvModuleSignalHandler> KvModuleSignalHandler::init(KvModuleUniversal* module) {
  return std::make_unique<KvModuleSignalHandler>(module);
}

void KvModuleSignalHandler::shutdown_handler(int signal) {
  const int saved_errno = errno;
  switch (signal) {
    case SIGINT:
    case SIGTERM:
      request_stop(signal);
      break;
    case SIGSEGV:
      // A fault cannot wait for a stop point: returning would run the faulting instruction
      // again. So this stop runs inside the handler; should the fault have hit the stop itself,
      // the process just ends.
      if (g_stopping != 0) ::_exit(kelvanor::module::k_terminated_status);
      g_stop_signal = signal;
      carry_out_stop();
    default:
      break;
  }
  errno = saved_errno;
}

// The data mover is paused and resumed at once, from the handlers; the module itself logs and
// holds still at its next stop point (see carry_out_pending).
void KvModuleSignalHandler::pause_handler(int signal) {
  if (signal != SIGTSTP || module_ptr_ == nullptr) return;
  const int saved_errno = errno;
  module_ptr_->send_signal_to_kvfd(SIGTSTP);
  module_ptr_->paused = 1;
  g_pause_pending = 1;
  wake();
  errno = saved_errno;
}

void KvModuleSignalHandler::continue_handler(int signal) {
  if (signal != SIGCONT || module_ptr_ == nullptr) return;
  const int saved_errno = errno;
  module_ptr_->paused = 0;
  module_ptr_->send_signal_to_kvfd(SIGCONT);
  g_resume_pending = 1;
  wake();
  errno = saved_errno;
}

void KvModuleSignalHandler::sigpipe_handler(int) {}

// Async-signal-safe: the pause and resume handlers call it; the stop point reports the outcome.
void KvModuleUniversal::send_signal_to_kvfd(int signal) {
  const pid_t pid = kvfd_pid;
  if (pid <= 0) return;
  passed_on& record = passed_on_for(signal);
  record.error = ::kill(pid, signal) == 0 ? 0 : errno;
  record.pid = pid;
}

void KvModuleUniversal::set_to_pause() {
  report_passed_on(SIGTSTP);
  KvLogStream(KvLogLvl::Info) << "Module pid: " << ::getpid() << " put on pause" << std::endl;
  // `paused` is cleared by the resume handler, which, like a stop request, also writes to the
  // wake pipe: the wait ends at once. The one-second timeout is only a safety net.
  while (is_paused() && !kelvanor::module::stop_requested()) {
    pollfd wake_fd{g_wake_pipe[0], POLLIN, 0};
    if (::poll(&wake_fd, g_wake_pipe[0] >= 0 ? 1 : 0, 1000) > 0) drain_wake_pipe();
  }
}

bool KvModuleUniversal::is_paused() const { return paused != 0; }

void KvModuleUniversal::continue_working() {
  KvLogStream(KvLogLvl::Info) << "Module pid: " << ::getpid() << " continue working" << std::endl;
  report_passed_on(SIGCONT);
}
