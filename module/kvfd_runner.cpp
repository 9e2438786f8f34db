// The data mover runner: starts one data mover command through /bin/sh, relays the data mover's
// pid and progress lines to the backup client as they come, keeps every other line for the
// error report and turns the exit status into the result.

#include "module/kv_modules_common.h"

#include "common/kv_logger.h"
#include "common/stop_point.h"
#include "module/data_mover_process.h"
#include "module/kvfd_output.h"

#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr const char* k_run_sig =
    "bool KvModuleUniversal::run_kvfd_command(const string&, std::string&, pid_t&, std::string&)";

// Reads the output to its end. False, after the Error line, at a pid line without a usable pid.
// The lines for the client from one piece of output leave together, flushed before the next wait
// for the data mover: the client still sees every line as soon as the data mover has printed
// it, without a write to standard output for each of a million progress lines.
// With `keep_pid` the pid lines are relayed but `pid` is left as it is.
bool read_kvfd_output(std::FILE* stream, std::string& output, pid_t& pid, std::string& statistics, bool keep_pid) {
  using kelvanor::module::kvfd_line_kind;
  kelvanor::module::kvfd_line_splitter splitter;
  // Every wait for the data mover's next output is a stop point of the program.
  kv_utils_common::stop_aware_reader reader(stream);
  std::string relayed;
  const auto relay = [&relayed] {
    std::cout.write(relayed.data(), static_cast<std::streamsize>(relayed.size())).flush();
    relayed.clear();
  };
  char chunk[64 * 1024];
  for (;;) {
    const long got = reader.read_some(chunk, sizeof chunk);
    if (got <= 0) return true;
    splitter.feed({chunk, static_cast<size_t>(got)});
    while (const std::optional<std::string_view> line = splitter.next()) {
      const kelvanor::module::kvfd_line parsed = kelvanor::module::classify_kvfd_line(*line);
      switch (parsed.kind) {
        case kvfd_line_kind::pid:
          // Stored before the line leaves: from then on the signal handling may act on it.
          if (!keep_pid) pid = parsed.pid;
          relayed.append(*line).push_back('\n');
          break;
        case kvfd_line_kind::progress:
          statistics.assign(parsed.rest);
          relayed.append(*line).push_back('\n');
          break;
        case kvfd_line_kind::bad_pid:
          relay();
          KvLogStream(KvLogLvl::Error) << k_run_sig << ": invalid data mover pid: " << *line << std::endl;
          return false;
        case kvfd_line_kind::other:
          output.append(*line).push_back('\n');
          break;
      }
    }
    if (!relayed.empty()) relay();
  }
}

}  // namespace

bool KvModuleUniversal::run_kvfd_command(const std::string& command, std::string& output, pid_t& pid,
                                         std::string& statistics) {
  return run_kvfd(command, output, pid, statistics, false);
}

bool KvModuleUniversal::run_remote_kvfd_command(const std::string& command, std::string& output, pid_t& pid,
                                                std::string& statistics) {
  return run_kvfd(command, output, pid, statistics, true);
}

bool KvModuleUniversal::run_kvfd(const std::string& command, std::string& output, pid_t& pid, std::string& statistics,
                                 bool remote) {
  KvLogStream(KvLogLvl::Info) << k_run_sig << ":kvfd command: " << command << std::endl;
  std::optional<int> wait_status;
  try {
    kelvanor::module::data_mover_process mover;
    // The shell becomes the command (ssh), so that its pid is the one the signals are for.
    if (!mover.start(remote ? "exec " + command : command)) {
      KvLogStream(KvLogLvl::Error) << k_run_sig << ": couldn't start OS command: " << command << std::endl;
      return false;
    }
    if (remote) pid = mover.pid();
    if (!read_kvfd_output(mover.output(), output, pid, statistics, remote)) return false;
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
