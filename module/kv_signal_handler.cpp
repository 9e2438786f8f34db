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
#include <unistd.h>

KvModuleUniversal* KvModuleSignalHandler::module_ptr_ = nullptr;

namespace {

// [Start of the state touched by the signal handlers]
//   g_stop_signal, g_stopping, g_wake_pipe below;
//   KvModuleSignalHandler::module_ptr_ and, through it, the module's paused and kvfd_pid
//   (read and written by the pause and resume handlers).
volatile std::sig_atomic_t g_stop_signal = 0;  // SIGINT or SIGTERM once a stop is requested
volatile std::sig_atomic_t g_stopping = 0;     // the stop is being carried out: no second one
int g_wake_pipe[2] = {-1, -1};                 // self-pipe: one byte per stop request
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
  // The pause handler logs before it waits; a resume landing inside that log line would write
  // to the same logger. SIGCONT is let in again once the pause is recorded (set_to_pause).
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

// Async-signal-safe: flags and one write.
void request_stop(int signal) {
  if (g_stopping != 0 || g_stop_signal != 0) return;
  g_stop_signal = signal;
  if (g_wake_pipe[1] >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_wake_pipe[1], &byte, 1);
  }
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

}  // namespace

namespace kelvanor::module {

bool stop_requested() noexcept { return g_stop_signal != 0 && g_stopping == 0; }

void stop_point() {
  if (stop_requested()) carry_out_stop();
}

}  // namespace kelvanor::module

KvModuleSignalHandler::KvModuleSignalHandler(KvModuleUniversal* module) {
  module_ptr_ = module;
  g_stop_signal = 0;
  g_stopping = 0;
  prepare_wake_pipe();
  kv_utils_common::set_stop_control({&stop_waiting, &carry_out_stop, g_wake_pipe[0]});
  for (const handled_signal& entry : k_handled_signals) install(entry);
}

KvModuleSignalHandler::~KvModuleSignalHandler() {
  for (const handled_signal& entry : k_handled_signals) reset(entry);
  kv_utils_common::set_stop_control({});
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

// Pause and resume run inside their handlers: the module must hold still at once, wherever it
// is, until it is told to go on. They log and pass the signal on from there.
void KvModuleSignalHandler::pause_handler(int signal) {
  if (signal != SIGTSTP || module_ptr_ == nullptr) return;
  const int saved_errno = errno;
  module_ptr_->send_signal_to_kvfd(SIGTSTP);
  module_ptr_->set_to_pause();
  errno = saved_errno;
}

void KvModuleSignalHandler::continue_handler(int signal) {
  if (signal != SIGCONT || module_ptr_ == nullptr) return;
  const int saved_errno = errno;
  module_ptr_->continue_working();
  module_ptr_->send_signal_to_kvfd(SIGCONT);
  errno = saved_errno;
}

void KvModuleSignalHandler::sigpipe_handler(int) {}

void KvModuleUniversal::send_signal_to_kvfd(int signal) {
  if (kvfd_pid != 0) (void)kv_utils_common::send_signal(kvfd_pid, signal);
}

void KvModuleUniversal::set_to_pause() {
  KvLogStream(KvLogLvl::Info) << "Module pid: " << ::getpid() << " put on pause" << std::endl;
  paused = true;
  // From here on the resume may come in (the pause handler holds it back until now).
  sigset_t resume;
  sigemptyset(&resume);
  sigaddset(&resume, SIGCONT);
  pthread_sigmask(SIG_UNBLOCK, &resume, nullptr);
  // A stop request ends the pause too, so that the program can reach its stop point. `paused`
  // is written by the resume handler; sleep() is opaque to the compiler, so it is read anew
  // each round, and the resume cuts the second short.
  while (is_paused() && !kelvanor::module::stop_requested()) ::sleep(1);
}

bool KvModuleUniversal::is_paused() const { return paused; }

void KvModuleUniversal::continue_working() {
  KvLogStream(KvLogLvl::Info) << "Module pid: " << ::getpid() << " continue working" << std::endl;
  paused = false;
}
