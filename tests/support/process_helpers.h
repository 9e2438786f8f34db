#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>

namespace kv_test {

// A /bin/sh script started by a test, in a process group of its own, with its standard output
// on a pipe the test reads (scripts print the pids of what they start, or "ready" once their
// traps are set). The whole group is killed and the shell reaped when the object goes, so a
// failing test leaves nothing running.
class ShellProcess {
public:
    explicit ShellProcess(const std::string& script);
    ~ShellProcess();
    ShellProcess(const ShellProcess&) = delete;
    ShellProcess& operator=(const ShellProcess&) = delete;

    [[nodiscard]] int pid() const { return m_pid; }

    // The next line the script prints, without its newline; empty at the end of its output or
    // when nothing arrives in time.
    [[nodiscard]] std::string read_line(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Reads `count` lines of the form "<name> <pid>" in whatever order they come.
    [[nodiscard]] std::map<std::string, int> read_pids(int count);

    // Reaps the shell; returns its wait status, or -1 when it is still running after `timeout`.
    [[nodiscard]] int wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    int m_pid = -1;
    int m_output = -1;
    bool m_reaped = false;
    std::string m_pending;
};

// What a forked copy of the test process left behind.
struct ForkedRun {
    int wait_status = -1; // as waitpid reports it
    std::string errors;   // everything it wrote to standard error
};

// Runs `body` in a forked copy of the test process, for what must not happen to the test
// process itself (lowered limits, dropped privileges, being inside a tree that gets terminated).
// The body's result is the copy's exit code; the copy ends with _exit, so no test teardown runs.
[[nodiscard]] ForkedRun run_forked(const std::function<int()>& body);

// True while `pid` names a process that has not ended; a zombie has ended.
[[nodiscard]] bool is_running(int pid);

// Polls until `pid` has ended; false when it still runs after `timeout`.
[[nodiscard]] bool wait_until_ended(int pid, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A pid no process can have on this host.
[[nodiscard]] int unused_pid();

} // namespace kv_test
