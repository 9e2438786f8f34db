#pragma once

// Process-wide handlers of the stop, pause and resume signals; one per process, owned by the
// module object.
//
// SIGINT and SIGTERM only record the request: the stop (children terminated, the module's
// shutdown hook, "Module was terminated. PID: ...", exit status 17) is carried out at the
// program's next stop point, which every wait reaches (common/stop_point.h). SIGSEGV stops
// inside its handler. SIGTSTP passes the pause on to the data mover at once; the module logs it
// and holds still at its next stop point until SIGCONT, which is passed on to the data mover at
// once too and logged at the stop point. SIGPIPE is absorbed.

#include <memory>

class KvModuleUniversal;

class KvModuleSignalHandler {
 public:
  // Installs the handlers and the program's stop control.
  explicit KvModuleSignalHandler(KvModuleUniversal* module);
  KvModuleSignalHandler(const KvModuleSignalHandler&) = delete;
  KvModuleSignalHandler& operator=(const KvModuleSignalHandler&) = delete;
  // Gives the six signals their default dispositions back and switches stop handling off.
  ~KvModuleSignalHandler();

  [[nodiscard]] static std::unique_ptr<KvModuleSignalHandler> init(KvModuleUniversal* module);

  static void shutdown_handler(int signal);
  static void pause_handler(int signal);
  static void continue_handler(int signal);
  static void sigpipe_handler(int signal);

  // The one module object the handlers act on; they do nothing while it is empty.
  static KvModuleUniversal* module_ptr_;
};

namespace kelvanor::module {

// The exit status of a process ended by a stop signal.
inline constexpr int k_terminated_status = 17;

// True while a stop requested by SIGINT or SIGTERM waits to be carried out (false once it is
// under way). Async-signal-safe.
[[nodiscard]] bool stop_requested() noexcept;

// The stop point: carries out a requested stop and does not return then; holds a pending pause
// until the resume (or a stop) and logs the resume; otherwise returns at once, also while the
// stop is already under way (the module's release waits and polls like any other code). Long
// loops of the framework that wait in other ways than those of common/stop_point.h call it
// once per round.
void stop_point();

}  // namespace kelvanor::module
