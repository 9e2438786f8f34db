// The data mover runner: starts one data mover command through /bin/sh, relays the data mover's
// pid and progress lines to the backup client as they come, keeps every other line for the
// error report and turns the exit status into the result.

#include "module/kv_modules_common.h"

#include "common/kv_logger.h"
#include "module/kvfd_output.h"
#include "module/stop_point.h"

#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr const char* k_run_sig =
    "bool KvModuleUniversal::run_kvfd_command(const string&, std::string&, pid_t&, std::string&)";

// A data mover stopped before its end gets this long to finish on SIGTERM before SIGKILL.
constexpr auto k_termination_grace = std::chrono::seconds(5);
constexpr useconds_t k_termination_poll_us = 10'000;

// The shell running one data mover command, with its standard output on a pipe. The shell leads
// a process group of its own, so that everything the command started can be reached at once.
// However the reading ends, nothing of the command outlives the object: unless wait_for_exit
// reaped the shell, the destructor terminates the group and reaps it. Returning while the data
// mover still ran would let the release detach devices it is still reading.
class data_mover_process {
 public:
  data_mover_process() = default;
  data_mover_process(const data_mover_process&) = delete;
  data_mover_process& operator=(const data_mover_process&) = delete;
  ~data_mover_process() { terminate(); }

  // False, with errno set, when the shell cannot be started.
  [[nodiscard]] bool start(const std::string& command);
  [[nodiscard]] std::FILE* output() const { return m_output; }

  // Once the output has ended: closes it and waits for the shell. Its wait status, or nothing
  // when the system could not tell it.
  [[nodiscard]] std::optional<int> wait_for_exit();

 private:
  void close_output() noexcept;
  void terminate() noexcept;
  [[nodiscard]] bool group_has_members() const noexcept;

  pid_t m_shell = -1;
  std::FILE* m_output = nullptr;
  bool m_reaped = false;
};

bool data_mover_process::start(const std::string& command) {
  int pipe_ends[2];
  if (::pipe2(pipe_ends, O_CLOEXEC) != 0) return false;

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawnattr_init(&attributes);
  ::posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  ::posix_spawnattr_setpgroup(&attributes, 0);
  std::string shell_name = "sh";
  std::string option = "-c";
  std::string text = command;
  char* argv[] = {shell_name.data(), option.data(), text.data(), nullptr};
  const int spawn_error = ::posix_spawn(&m_shell, "/bin/sh", &actions, &attributes, argv, environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attributes);
  ::close(pipe_ends[1]);
  if (spawn_error != 0) {
    ::close(pipe_ends[0]);
    m_shell = -1;
    errno = spawn_error;
    return false;
  }
  m_output = ::fdopen(pipe_ends[0], "r");
  if (m_output == nullptr) {
    const int fdopen_error = errno;
    ::close(pipe_ends[0]);
    terminate();
    errno = fdopen_error;
    return false;
  }
  return true;
}

std::optional<int> data_mover_process::wait_for_exit() {
  close_output();
  int status = 0;
  pid_t result = -1;
  do {
    result = ::waitpid(m_shell, &status, 0);
  } while (result == -1 && errno == EINTR);
  m_reaped = true;
  if (result != m_shell) return std::nullopt;
  return status;
}

void data_mover_process::close_output() noexcept {
  if (m_output == nullptr) return;
  std::fclose(m_output);
  m_output = nullptr;
}

bool data_mover_process::group_has_members() const noexcept {
  return ::kill(-m_shell, 0) == 0 || errno == EPERM;
}

void data_mover_process::terminate() noexcept {
  // Closed first: a data mover blocked on a full pipe gets a broken pipe instead of waiting.
  close_output();
  if (m_shell <= 0 || m_reaped) return;
  ::kill(-m_shell, SIGTERM);
  // A paused data mover acts on SIGTERM only once it runs again.
  ::kill(-m_shell, SIGCONT);

  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + k_termination_grace;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!m_reaped) {
      const pid_t result = ::waitpid(m_shell, &status, WNOHANG);
      m_reaped = result == m_shell || (result == -1 && errno == ECHILD);
    }
    if (m_reaped && !group_has_members()) return;
    ::usleep(k_termination_poll_us);
  }
  ::kill(-m_shell, SIGKILL);
  while (!m_reaped) {
    const pid_t result = ::waitpid(m_shell, &status, 0);
    m_reaped = result == m_shell || (result == -1 && errno != EINTR);
  }
}

void relay_to_client(const std::string& line) { std::cout << line << std::endl; }

// Reads the output to its end. False, after the Error line, at a pid line without a usable pid.
bool read_kvfd_output(std::FILE* stream, std::string& output, pid_t& pid, std::string& statistics) {
  using kelvanor::module::kvfd_line_kind;
  kelvanor::module::kvfd_line_splitter splitter;
  for (;;) {
    const int c = ::getc_unlocked(stream);
    if (c == EOF) {
      // A signal handled while blocked in read is not the end of the output.
      if (std::ferror(stream) && errno == EINTR) {
        std::clearerr(stream);
        continue;
      }
      return true;
    }
    if (!splitter.push(static_cast<char>(c))) continue;
    kelvanor::module::at_stop_point();

    const std::string& line = splitter.line();
    const kelvanor::module::kvfd_line parsed = kelvanor::module::classify_kvfd_line(line);
    switch (parsed.kind) {
      case kvfd_line_kind::pid:
        // Stored before the line leaves: from then on the signal handling may act on it.
        pid = parsed.pid;
        relay_to_client(line);
        break;
      case kvfd_line_kind::progress:
        statistics.assign(parsed.rest);
        relay_to_client(line);
        break;
      case kvfd_line_kind::bad_pid:
        KvLogStream(KvLogLvl::Error) << k_run_sig << ": invalid data mover pid: " << line << std::endl;
        return false;
      case kvfd_line_kind::other:
        output += line;
        output += '\n';
        break;
    }
  }
}

}  // namespace

bool KvModuleUniversal::run_kvfd_command(const std::string& command, std::string& output, pid_t& pid,
                                         std::string& statistics) {
  KvLogStream(KvLogLvl::Info) << k_run_sig << ":kvfd command: " << command << std::endl;
  std::optional<int> wait_status;
  try {
    data_mover_process mover;
    if (!mover.start(command)) {
      KvLogStream(KvLogLvl::Error) << k_run_sig << ": couldn't start OS command: " << command << std::endl;
      return false;
    }
    if (!read_kvfd_output(mover.output(), output, pid, statistics)) return false;
    wait_status = mover.wait_for_exit();
  } catch (const std::exception& error) {
    KvLogStream(KvLogLvl::Error) << k_run_sig << ": " << error.what() << std::endl;
    return false;
  }

  if (!wait_status) {
    KvLogStream(KvLogLvl::Warning) << "kvfd process unknown exit." << std::endl;
    return false;
  }
  const int status = *wait_status;
  KvLogStream(KvLogLvl::Debug) << "kvfd process status 0x" << std::hex << status << std::dec << "." << std::endl;
  if (WIFSIGNALED(status)) {
    KvLogStream(KvLogLvl::Warning) << "kvfd process terminates with 0x" << std::hex << WTERMSIG(status) << std::dec
                                   << " signal." << std::endl;
    if (WCOREDUMP(status)) KvLogStream(KvLogLvl::Warning) << "core dump occured." << std::endl;
    return false;
  }
  if (WIFSTOPPED(status)) {
    KvLogStream(KvLogLvl::Warning) << "kvfd process stops with 0x" << std::hex << WSTOPSIG(status) << std::dec
                                   << " signal." << std::endl;
    return false;
  }
  if (!WIFEXITED(status)) {
    KvLogStream(KvLogLvl::Warning) << "kvfd process unknown exit." << std::endl;
    return false;
  }
  const int code = WEXITSTATUS(status);
  KvLogStream(KvLogLvl::Debug) << "kvfd process exits with 0x" << std::hex << code << std::dec << " status."
                               << std::endl;
  pid = 0;
  switch (code) {
    case 0:
      return true;
    case 100:
      data_incomplete = true;
      KvLogStream(KvLogLvl::Warning) << "kvfd finished with a defect flag" << std::endl;
      return true;
    case 1:
      KvLogStream(KvLogLvl::Warning) << "kvfd finished with an error flag" << std::endl;
      return false;
    default:
      return false;
  }
}
