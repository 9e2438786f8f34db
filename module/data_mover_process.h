#pragma once

// The one child process of a data mover run.

#include <sys/types.h>

#include <cstdio>
#include <optional>
#include <string>

namespace kelvanor::module {

// The shell running one data mover command, with its standard output on a pipe and its standard
// input on /dev/null. The shell leads a process group of its own, so that everything the command
// started can be reached at once. However the reading ends, nothing of the command outlives the
// object: unless wait_for_exit reaped the shell, the destructor terminates the group and reaps
// it. Returning while the data mover still ran would let the release detach devices it is still
// reading.
class data_mover_process {
 public:
  data_mover_process() = default;
  data_mover_process(const data_mover_process&) = delete;
  data_mover_process& operator=(const data_mover_process&) = delete;
  ~data_mover_process() { terminate(); }

  // False, with errno set, when the shell cannot be started.
  [[nodiscard]] bool start(const std::string& command);
  [[nodiscard]] std::FILE* output() const { return m_output; }
  // The shell's pid (also the group's id); -1 before start.
  [[nodiscard]] pid_t pid() const { return m_shell; }

  // Once the output has ended: closes it and waits for the shell. Its wait status, or nothing
  // when the system could not tell it.
  [[nodiscard]] std::optional<int> wait_for_exit();

 private:
  void close_output() noexcept;
  void terminate() noexcept;
  [[nodiscard]] bool group_has_members() const noexcept;  // members that still run

  pid_t m_shell = -1;
  std::FILE* m_output = nullptr;
  bool m_reaped = false;
};

}  // namespace kelvanor::module
