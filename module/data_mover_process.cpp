#include "module/data_mover_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kelvanor::module {

namespace {

// A data mover stopped before its end gets this long to finish on SIGTERM before SIGKILL.
constexpr auto k_termination_grace = std::chrono::seconds(5);
constexpr useconds_t k_termination_poll_us = 10'000;

}  // namespace

bool data_mover_process::start(const std::string& command) {
  int pipe_ends[2];
  if (::pipe2(pipe_ends, O_CLOEXEC) != 0) return false;

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawnattr_init(&attributes);
  ::posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
  // Its own process group is never the terminal's foreground group: a data mover (or ssh) that
  // read a terminal it inherited would be stopped by SIGTTIN, and the run would hang.
  ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
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
  if (::kill(-m_shell, 0) != 0 && errno != EPERM) return false;
  // Members that have ended but wait for init to reap them still count for kill(); they no
  // longer run, so only the others are waited for.
  DIR* processes = ::opendir("/proc");
  if (processes == nullptr) return true;
  bool running = false;
  while (const dirent* entry = ::readdir(processes)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    char path[sizeof entry->d_name + 16];
    std::snprintf(path, sizeof path, "/proc/%s/stat", entry->d_name);
    std::FILE* stat = std::fopen(path, "r");
    if (stat == nullptr) continue;
    char text[512];
    const size_t length = std::fread(text, 1, sizeof text - 1, stat);
    std::fclose(stat);
    text[length] = '\0';
    // The command name in parentheses may hold anything; state, parent and group follow the last ')'.
    const char* after_name = std::strrchr(text, ')');
    char state = 0;
    int parent = 0;
    int group = 0;
    if (after_name == nullptr || std::sscanf(after_name + 1, " %c %d %d", &state, &parent, &group) != 3) continue;
    if (group == m_shell && state != 'Z' && state != 'X') {
      running = true;
      break;
    }
  }
  ::closedir(processes);
  return running;
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

}  // namespace kelvanor::module
