#include "tests/support/process_helpers.h"

#include <cerrno>
#include <csignal>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kv_test {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void throw_errno(const char* what, int error)
{
    throw std::system_error(error, std::generic_category(), what);
}

} // namespace

ShellProcess::ShellProcess(const std::string& script)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw_errno("pipe2", errno);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    ::posix_spawnattr_init(&attributes);
    // Own process group, so the destructor reaches grandchildren too; default dispositions, so a
    // test that changed its own handlers does not leak them into the scripts.
    sigset_t defaults;
    sigset_t empty;
    ::sigemptyset(&defaults);
    ::sigemptyset(&empty);
    for (const int signal : {SIGTERM, SIGINT, SIGCHLD, SIGPIPE, SIGUSR1})
        ::sigaddset(&defaults, signal);
    ::posix_spawnattr_setpgroup(&attributes, 0);
    ::posix_spawnattr_setsigdefault(&attributes, &defaults);
    ::posix_spawnattr_setsigmask(&attributes, &empty);
    ::posix_spawnattr_setflags(&attributes,
                               POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    char sh[] = "/bin/sh";
    char dash_c[] = "-c";
    std::string script_copy = script;
    char* argv[] = {sh, dash_c, script_copy.data(), nullptr};
    pid_t pid = 0;
    const int result = ::posix_spawn(&pid, sh, &actions, &attributes, argv, environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    ::close(fds[1]);
    if (result != 0) {
        ::close(fds[0]);
        throw_errno("posix_spawn", result);
    }
    m_pid = pid;
    m_output = fds[0];
}

ShellProcess::~ShellProcess()
{
    if (!m_reaped) {
        ::kill(-m_pid, SIGKILL);
        ::kill(m_pid, SIGKILL);
        int status = 0;
        while (::waitpid(m_pid, &status, 0) == -1 && errno == EINTR) {
        }
    } else {
        ::kill(-m_pid, SIGKILL);
    }
    ::close(m_output);
}

std::string ShellProcess::read_line(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto newline = m_pending.find('\n');
        if (newline != std::string::npos) {
            std::string line = m_pending.substr(0, newline);
            m_pending.erase(0, newline + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return {};
        pollfd waiting{m_output, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return {};
        char buffer[256];
        const ssize_t got = ::read(m_output, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return {};
        m_pending.append(buffer, static_cast<std::size_t>(got));
    }
}

std::map<std::string, int> ShellProcess::read_pids(int count)
{
    std::map<std::string, int> pids;
    for (int i = 0; i < count; ++i) {
        std::istringstream line(read_line());
        std::string name;
        int pid = 0;
        if (!(line >> name >> pid))
            throw std::runtime_error("script did not report a pid");
        pids[name] = pid;
    }
    return pids;
}

int ShellProcess::wait_exit(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            m_reaped = true;
            return status;
        }
        if (done == -1 && errno != EINTR)
            throw_errno("waitpid", errno);
        if (Clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

ForkedRun run_forked(const std::function<int()>& body)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw_errno("pipe2", errno);
    const pid_t pid = ::fork();
    if (pid == -1) {
        const int error = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        throw_errno("fork", error);
    }
    if (pid == 0) {
        ::dup2(fds[1], STDERR_FILENO);
        int code = 100;
        try {
            code = body();
        } catch (...) {
        }
        ::_exit(code);
    }
    ::close(fds[1]);

    ForkedRun run;
    char buffer[512];
    for (;;) {
        const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        run.errors.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fds[0]);
    while (::waitpid(pid, &run.wait_status, 0) == -1 && errno == EINTR) {
    }
    return run;
}

bool is_running(int pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text))
        return false;
    // The command name in parentheses may hold anything; the state follows the last ')'.
    const auto name_end = text.rfind(')');
    if (name_end == std::string::npos || name_end + 2 >= text.size())
        return false;
    const char state = text[name_end + 2];
    return state != 'Z' && state != 'X';
}

bool wait_until_ended(int pid, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (is_running(pid)) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int unused_pid()
{
    std::ifstream limit("/proc/sys/kernel/pid_max");
    int pid_max = 0;
    if (!(limit >> pid_max) || pid_max <= 0)
        throw std::runtime_error("cannot read /proc/sys/kernel/pid_max");
    return pid_max + 1;
}

} // namespace kv_test
