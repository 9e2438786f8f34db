#include "common/kv_utils_common.h"

#include "common/stop_point.h"

#include <cerrno>
#include <cstdint>
#include <chrono>
#include <csignal>
#include <cstring>
#include <exception>
#include <iostream>
#include <string_view>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kv_utils_common {

namespace {

constexpr std::string_view k_execute_command_sig = "kv_utils_common::execute_command";
constexpr std::string_view k_kill_childs_sig = "kv_utils_common::kill_childs";

// fgets with this buffer returns at most 1023 characters per call; longer lines arrive in pieces.
constexpr int k_read_buffer_size = 1024;

// Appends everything the command writes until it closes its output. The reads are stop
// points: a stop of the program requested meanwhile takes effect at once, even while the
// command prints nothing.
void append_command_output(std::FILE* pipe, std::string& output)
{
    char buffer[k_read_buffer_size];
    stop_aware_reader reader(pipe);
    while (reader.gets(buffer, sizeof buffer) != nullptr)
        output.append(buffer);
}

// The shell's convention: a command killed by a signal ends with 128 plus the signal number.
int exit_code_from_wait_status(int wait_status)
{
    if (WIFEXITED(wait_status))
        return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status))
        return 128 + WTERMSIG(wait_status);
    return -1;
}

void terminate_and_report(int pid)
{
    if (synchronous_terminate(pid))
        std::cout << "PID was terminated: " << pid << std::endl;
    else
        std::cout << "Error terminate PID: " << pid << std::endl;
}

// The direct children of `pid`, in the order ps lists them; none when ps finds none.
std::vector<int> list_children(int pid)
{
    // The listing is itself a child of this program. Its shell prints its own pid and then
    // becomes ps, so that the walk can leave it out: by the time its turn came it would have
    // ended, and every stop would report a failed termination of it.
    std::string listing;
    if (execute_command("echo $$; exec ps -eo pid -h --ppid=" + std::to_string(pid), listing) != 0)
        return {};
    return children_in_listing(listing);
}

// Post-order walk: a process is terminated only after everything below it, so that no worker
// outlives its parent and gets re-parented out of reach. The program itself may sit inside the
// tree (a caller may pass an ancestor); its own children are still terminated, it is not.
void terminate_below(int pid, int self)
{
    try {
        for (const int child : list_children(pid)) {
            if (child <= 0)
                continue;
            terminate_below(child, self);
            if (child != self)
                terminate_and_report(child);
        }
    } catch (const std::exception& e) {
        std::cerr << k_kill_childs_sig << ": error: " << e.what() << '\n';
    }
}

} // namespace

std::vector<int> children_in_listing(std::string_view listing)
{
    constexpr std::string_view blanks = " \t\r\v\f";
    std::vector<int> children;
    std::string_view rest = listing;
    const auto helper_end = rest.find('\n');
    const int helper = std::stoi(std::string(rest.substr(0, helper_end)), nullptr, 10);
    rest = helper_end == std::string_view::npos ? std::string_view{} : rest.substr(helper_end + 1);
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        std::string_view piece = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);

        const auto first = piece.find_first_not_of(blanks);
        if (first == std::string_view::npos)
            continue;
        piece = piece.substr(first, piece.find_last_not_of(blanks) - first + 1);
        const int child = std::stoi(std::string(piece), nullptr, 10);
        if (child != helper)
            children.push_back(child);
    }
    return children;
}

void PipeCloser::operator()(std::FILE* stream) noexcept
{
    wait_status = ::pclose(stream);
    close_errno = wait_status == -1 ? errno : 0;
}

int execute_command(std::string command, std::string& output)
{
    try {
        const std::string full_command = command + " 2>&1";
        UniquePipe pipe(::popen(full_command.c_str(), "r"));
        if (!pipe) {
            std::cerr << "Couldn't start OS command: " << full_command << std::endl;
            return 1;
        }

        append_command_output(pipe.get(), output);

        pipe.reset();
        const PipeCloser& closer = pipe.get_deleter();
        if (closer.wait_status == -1) {
            std::cerr << k_execute_command_sig << ": error: pclose: " << std::strerror(closer.close_errno)
                      << std::endl;
            return -1;
        }
        return exit_code_from_wait_status(closer.wait_status);
    } catch (const std::exception& e) {
        std::cerr << k_execute_command_sig << ": error: " << e.what() << std::endl;
        return -1;
    }
}

bool send_signal(int pid, int signal)
{
    if (pid == 0)
        return true;
    // kill() with a negative pid reaches a whole process group, or every process for -1.
    if (pid < 0)
        return false;
    if (::kill(pid, 0) != 0)
        return false;

    const int error = ::kill(pid, signal) == 0 ? 0 : errno;
    report_sent_signal(pid, signal, error);
    return error == 0;
}

void report_sent_signal(int pid, int signal, int error)
{
    if (error == 0)
        std::cout << "sent signal " << signal << " to the process: " << pid << std::endl;
    else
        std::cout << "No permissions to send signal " << signal << " the process: " << pid << std::endl;
}

bool synchronous_terminate(const int& pid)
{
    if (pid == 0)
        return false;
    if (pid < 0 || ::kill(pid, 0) != 0) {
        std::cerr << "Process with pid:" << pid << " does not exist" << std::endl;
        return false;
    }

    if (::kill(pid, SIGTERM) != 0) {
        std::cerr << " Error send signal:" << ::strsignal(SIGTERM) << " to process with pid:" << pid
                  << std::endl;
        return false;
    }

    if (::kill(pid, 0) != 0) {
        const int probe_errno = errno;
        if (probe_errno == ESRCH) {
            std::cerr << "Process with pid:" << pid << " exited" << std::endl;
            return true;
        }
        std::cerr << "Error calling kill for process with pid:" << pid << ", :" << std::strerror(probe_errno)
                  << std::endl;
        return false;
    }

    std::this_thread::sleep_for(std::chrono::seconds(1));

    if (::kill(pid, SIGKILL) != 0) {
        const int kill_errno = errno;
        // Gone during the grace second: SIGTERM did its work.
        if (kill_errno == ESRCH) {
            std::cerr << "Process with pid:" << pid << " exited" << std::endl;
            return true;
        }
        std::cerr << "Error calling kill SIGKILL for process with pid:" << pid << ", :"
                  << std::strerror(kill_errno) << std::endl;
        return false;
    }
    return true;
}

void kill_childs(int pid)
{
    // ps --ppid=0 lists init and kthreadd: the walk would take down the whole host.
    if (pid <= 0) {
        std::cerr << k_kill_childs_sig << ": error: invalid pid: " << pid << '\n';
        return;
    }
    terminate_below(pid, static_cast<int>(::getpid()));
}

std::string get_nodename()
{
    struct utsname names {};
    if (::uname(&names) != 0)
        return {};
    return names.nodename;
}

bool is_sparse_file(const std::string& path, bool& sparse, std::string& error)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        error = std::strerror(errno);
        return false;
    }
    sparse = static_cast<std::int64_t>(info.st_blocks) * 512 < static_cast<std::int64_t>(info.st_size);
    return true;
}

} // namespace kv_utils_common
