#pragma once

// Runs the real program the way the backup client does, but inside a private mount namespace
// with a fresh directory bound over /opt, so the program's fixed paths under /opt/kelvanor land
// in the test's own folder and the host's /opt is never touched. Needs root (as CI has).

#include "tests/support/fake_platform.h"
#include "tests/support/temp_dir.h"

#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace kv_test {

struct ProgramResult {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  int term_signal = 0;  // the signal that ended it, if any
  std::string out;  // standard output
  std::string err;  // standard error
};

class ModuleSandbox;

// A started program; wait() reaps it (or kills it after the time-out).
class RunningProgram {
 public:
  RunningProgram(const ModuleSandbox& sandbox, pid_t pid, std::string out_path, std::string err_path);
  RunningProgram(RunningProgram&& other) noexcept;
  RunningProgram& operator=(RunningProgram&&) = delete;
  ~RunningProgram();

  pid_t pid() const { return m_pid; }
  void send(int signal) const;
  ProgramResult wait(int timeout_seconds = 60);
  // Standard output so far, for waiting until the program reached a point.
  std::string output_so_far() const;
  // Polls until the standard output holds `text`; false after the time-out.
  bool wait_for_output(const std::string& text, int timeout_seconds = 20) const;

 private:
  const ModuleSandbox* m_sandbox;
  pid_t m_pid;
  std::string m_out_path;
  std::string m_err_path;
};

class ModuleSandbox {
 public:
  ModuleSandbox();

  // Host path of the file or folder the program sees as /opt/kelvanor/<relative>.
  std::string opt(const std::string& relative = "") const;
  // A scratch folder of the test outside the bound /opt (operation directories and such).
  std::string scratch(const std::string& relative = "") const;
  const std::string& root() const { return m_dir.path(); }

  // Binds host_path over target inside the namespace (after /opt), e.g. a fake /usr/bin/lsblk.
  void bind(const std::string& host_path, const std::string& target);
  // Sets (or replaces) a variable of the program's environment.
  void set_env(const std::string& name, const std::string& value);
  // Runs the program on a clock `scale` times faster (tests/support/fast_clock_preload.cpp): its
  // polls, pauses, time-outs and deadlines shrink alike, while the test's own time stays real.
  void use_fast_clock(int scale);

  // Puts the fake platform in place inside the namespace: the fake lsblk and udevadm as
  // /usr/bin/lsblk and /usr/bin/udevadm, the disks' folder as /dev (keeping null, zero, random
  // and urandom working), the device table in KV_TEST_DEVICE_TABLE, and the fake data mover as
  // /opt/kelvanor/bin/kvfd. `devices` must outlive the runs.
  FakeKvfdRecord install_fake_platform(const FakeBlockDevices& devices);

  RunningProgram start(const std::vector<std::string>& args) const;
  ProgramResult run(const std::vector<std::string>& args, int timeout_seconds = 60) const;
  // Runs a /bin/sh script inside the same namespace and environment as the program.
  ProgramResult run_shell(const std::string& script, int timeout_seconds = 60) const;

  // The program's log file, and its last lines for failure messages.
  std::string log() const;
  std::string log_tail(size_t lines = 40) const;

  // The path of the program under test.
  std::string program() const;

 private:
  RunningProgram start_command(const std::vector<std::string>& command) const;

  TempDir m_dir;
  std::vector<std::string> m_mount_steps;  // shell commands run inside the namespace, in order
  std::vector<std::string> m_env;
  mutable int m_runs = 0;
};

}  // namespace kv_test
