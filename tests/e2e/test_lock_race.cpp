// Two runs of the real program never hold one resource's lock at once, also when one opened the
// lock file just before its last holder removed it.
#include "tests/support/program_runner.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace kv_test {
namespace {

TEST(LockRace, RunThatOpenedTheRemovedLockFileFindsTheNewHolder) {
  ModuleSandbox sandbox;
  const std::string gate = sandbox.scratch("gate");
  boost::filesystem::create_directories(gate);
  sandbox.set_env("LD_PRELOAD", KV_GATE_PRELOAD_PATH);
  sandbox.set_env("KV_TEST_GATE", gate);
  sandbox.set_env("ASAN_OPTIONS", "verify_asan_link_order=0");
  // The run opens the lock file and is held before its lock attempt.
  RunningProgram run = sandbox.start({"-b", "vm-1", "-d", sandbox.scratch(), "-n", "NAME"});
  for (int i = 0; i < 2000 && !boost::filesystem::exists(gate + "/held"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(boost::filesystem::exists(gate + "/held"));
  const std::string lock_file =
      boost::filesystem::directory_iterator(sandbox.opt("var/kelvanor-modules"))->path().string();

  // Meanwhile the last holder removes the file, and the next run creates and locks a new one.
  ASSERT_EQ(::unlink(lock_file.c_str()), 0);
  const int next = ::open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(next, 0);
  flock lock{};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  ASSERT_EQ(::fcntl(next, F_SETLK, &lock), 0);

  write_file(gate + "/go", "");
  const ProgramResult result = run.wait(60);
  ::close(next);
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("resource \"vm-1\" is busy by another process!"), std::string::npos) << result.err;
}

}  // namespace
}  // namespace kv_test
