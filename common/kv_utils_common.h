#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Running shell commands and terminating child processes. These functions write their own
// diagnostics straight to standard output and standard error: they are used before the loggers
// exist, while a logger fails, and from the signal handler.
namespace kv_utils_common {

// Deleter for a popen stream: closes it with pclose and keeps the result, so the owner can
// still read the command's wait status after the stream is gone.
struct PipeCloser {
    int wait_status = -1; // pclose's result; -1 until closed or when pclose failed
    int close_errno = 0;  // errno left by a failing pclose

    void operator()(std::FILE* stream) noexcept;
};

using UniquePipe = std::unique_ptr<std::FILE, PipeCloser>;

// Runs `command` through the shell with standard error joined to standard output and appends
// everything it prints to `output`. The joining " 2>&1" goes after the command text, so in a
// list or pipeline it binds to the last command only; group the command to join them all. Returns the exit code (0 to 255), 128 plus the signal number
// when the command was killed by a signal, 1 when it cannot be started and -1 on an internal
// failure (including a failing pclose, when the command's status is unknown).
[[nodiscard]] int execute_command(std::string command, std::string& output);

// Sends `signal` to a live process. Pid 0 sends nothing and succeeds; a negative pid (a process
// group, or every process) is refused.
[[nodiscard]] bool send_signal(int pid, int signal);

// The line send_signal prints for a signal sent (error 0) or refused (the errno of kill). For
// callers that had to send the signal where printing is not safe, to report it later.
void report_sent_signal(int pid, int signal, int error);

// SIGTERM, then SIGKILL one second later when the process is still there. True when the
// process is known to be gone or SIGKILL was delivered.
[[nodiscard]] bool synchronous_terminate(const int& pid);

// Terminates every process below `pid`, the deepest first. Neither `pid` itself nor the calling
// program is ever terminated.
void kill_childs(int pid);

// The pids of the listing kill_childs asks for (`echo $$; exec ps -eo pid -h --ppid=N`), in
// order, less the first line's: the listing's own shell, which became ps. Throws
// std::invalid_argument or std::out_of_range for a line that does not start with a number.
[[nodiscard]] std::vector<int> children_in_listing(std::string_view listing);

// The node name as uname reports it; empty when uname fails.
[[nodiscard]] std::string get_nodename();

// Tells whether the file at `path` (symbolic links followed) has fewer blocks allocated than its
// size needs. False with the system's text in `error` when it cannot be examined.
[[nodiscard]] bool is_sparse_file(const std::string& path, bool& sparse, std::string& error);

} // namespace kv_utils_common
