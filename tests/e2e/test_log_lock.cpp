// No other local user can hold the lock of the program's log: a reader of the log who locks
// every file of the log's folder it can open makes no run wait, and stops no rotation.
#include "tests/support/program_runner.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <chrono>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kv_test {
namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(LogLock, AReaderOfTheLogDelaysNoRunAndStopsNoRotation) {
  const mode_t umask_before = ::umask(022);
  ModuleSandbox sandbox;
  // Every message that finds the log file not empty rotates it first.
  write_file(sandbox.opt("etc/kv_logger.config"), "log_level Info\nlog_file_max_size 0\nlog_file_max_rotate 100\n");
  ASSERT_EQ(sandbox.run({"-l"}).status, 2);  // without a configuration: a few lines of log
  const std::string log = sandbox.opt("log/kv_module_veil_vm.log");
  write_file(log, read_file(log) + "the last line before the reader came\n");
  ASSERT_EQ(::chmod(sandbox.root().c_str(), 0755), 0);  // the way to the log, as for any reader

  // The reader, user nobody, locks what it can open in the log's folder, as long as it lives.
  std::vector<std::string> files;
  for (const auto& entry : boost::filesystem::directory_iterator(sandbox.opt("log")))
    files.push_back(entry.path().string());
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t reader = ::fork();
  ASSERT_GE(reader, 0);
  if (reader == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(1);
    char held = 0;
    for (const std::string& file : files) {
      const int fd = ::open(file.c_str(), O_RDONLY);
      if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) ++held;
    }
    if (::write(ready[1], &held, 1) != 1) ::_exit(1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char held = 0;
  const bool told = ::read(ready[0], &held, 1) == 1;
  ::close(ready[0]);

  const auto start = std::chrono::steady_clock::now();
  const ProgramResult result = sandbox.run({"-l"});
  const auto took = std::chrono::steady_clock::now() - start;
  ::kill(reader, SIGKILL);
  ::waitpid(reader, nullptr, 0);
  ::umask(umask_before);

  ASSERT_TRUE(told && held >= 1) << "the reader holds no lock, not even the log's";
  EXPECT_EQ(result.status, 2);
  EXPECT_LT(took, std::chrono::seconds(3));
  // The log was rotated: the last line before the run went into a copy.
  EXPECT_FALSE(contains(read_file(log), "the last line before the reader came")) << read_file(log);
}

}  // namespace
}  // namespace kv_test
