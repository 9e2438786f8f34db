// Lock-file names, the lock file's life and the module's lock reassignment. The lock directory
// is fixed under /opt, so every test that makes files runs in a forked copy of the test process
// inside a private mount namespace with a fresh tmpfs over /opt.
#include "module/module_resource_lock.h"

#include "common/kv_version.h"
#include "module/resource_hash.h"
#include "tests/module/module_test_support.h"
#include "tests/support/process_helpers.h"

#include <boost/filesystem/operations.hpp>

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>

using namespace module_test;
using kelvanor::module::resource_file_lock;
using kelvanor::module::resource_file_scoped_lock;
using kelvanor::module::resource_lock_file_handler;
namespace fs = boost::filesystem;

namespace {

const std::string k_lock_dir = "/opt/kelvanor/var/kelvanor-modules";

// --- Names ---

TEST(ResourceHash, DigestIsWrittenLastByteFirstWithLeadingZeros) {
  kelvanor::hash::digest256 digest{};
  for (size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<uint8_t>(i * 8);
  EXPECT_EQ(kelvanor::hash::to_string(digest),
            "f8f0e8e0d8d0c8c0b8b0a8a098908880787068605850484038302820181008" "00");
}

struct NameCase {
  std::string module;
  std::string resource;
  std::string digest;  // HMAC-SHA-256 under the program's key, last byte first (openssl's digest reversed)
};

class LockFileName : public ModuleTest, public ::testing::WithParamInterface<NameCase> {};

// Lock names must never change between versions: two versions running at once would otherwise
// not keep each other off a resource.
TEST_P(LockFileName, IsThePrefixAndTheFirstEightDigitsOfTheKeyedDigest) {
  const NameCase& c = GetParam();
  EXPECT_EQ(kelvanor::hash::to_string(kelvanor::hash::sha::make_hash(c.module + c.resource)), c.digest);
  const std::string name = resource_lock_file_handler::make_lock_file_name(c.module, c.resource);
  EXPECT_EQ(name, "Kelvanor_MOD_mutex_" + c.digest.substr(0, 8));
  EXPECT_EQ(name.size(), 27u);
  EXPECT_EQ(log_at("Debug"),
            std::vector<std::string>{"module " + kelvanor::as_quoted(c.module) + " resource " +
                                     kelvanor::as_quoted(c.resource) + " hash string is " + c.digest +
                                     ". will be truncated to 8 characters at begin."});
}

INSTANTIATE_TEST_SUITE_P(
    Pinned, LockFileName,
    ::testing::Values(
        NameCase{"kv_module_veil_vm", "vm-1", "aa90cf5e41145deea3a68ed02a100e6d89a6a68e700d3695bccfaad8353ec4fe"},
        NameCase{"m", "ab", "fdecf5d6956b4493ec32ff20c5ae793de1fe33ade6512b01e852bd7b94fb9782"},
        NameCase{"ma", "b", "fdecf5d6956b4493ec32ff20c5ae793de1fe33ade6512b01e852bd7b94fb9782"},
        NameCase{"", "", "13be3a4987d07b6109c604f88e5b3cf507615f97196ccac97bbf4122b29d26d3"}));

TEST_F(ModuleTest, LockFileNamesAreSafeForAnyResourceName) {
  const std::regex shape("Kelvanor_MOD_mutex_[0-9a-f]{8}");
  for (const std::string& resource : std::vector<std::string>{"../../etc/passwd", "name with blanks", "\"quoted\" \\ and\nnewline",
                                     std::string(5000, 'x'), std::string("nul\0inside", 10)}) {
    const std::string name = resource_lock_file_handler::make_lock_file_name("kv_module_veil_vm", resource);
    EXPECT_TRUE(std::regex_match(name, shape)) << name;
    EXPECT_NE(name, resource_lock_file_handler::make_lock_file_name("kv_module_other", resource));
  }
}

TEST(LockFilePath, LivesInTheProductsModulesDirectory) {
  EXPECT_EQ(resource_lock_file_handler::make_lock_files_dir_path().string(), k_lock_dir);
  EXPECT_EQ(resource_lock_file_handler::make_lock_file_path("Kelvanor_MOD_mutex_0").string(),
            k_lock_dir + "/Kelvanor_MOD_mutex_0");
}

TEST(LockFileHandler, DefaultNamesNothing) {
  resource_file_lock lock;
  EXPECT_EQ(lock.module_name(), "");
  EXPECT_EQ(lock.resource_name(), "");
  EXPECT_TRUE(lock.resource_lock_file_path().empty());
  EXPECT_TRUE(lock.remove());
}

// --- Files, in a private /opt ---

// Collects failures of a forked copy, which cannot use the test's own assertions, on fd 2.
class Checks {
 public:
  void expect(bool ok, const std::string& what) {
    if (ok) return;
    m_failed = true;
    const std::string line = "FAILED: " + what + "\n";
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
  }
  template <typename T>
  void expect_eq(const T& actual, const T& expected, const std::string& what) {
    std::ostringstream text;
    text << what << ": got [" << actual << "], expected [" << expected << "]";
    expect(actual == expected, text.str());
  }
  [[nodiscard]] int code() const { return m_failed ? 1 : 0; }

 private:
  bool m_failed = false;
};

// Runs `body` in a forked copy of the test process whose /opt is a fresh, empty tmpfs.
void with_private_opt(const std::function<int()>& body) {
  const kv_test::ForkedRun run = kv_test::run_forked([&] {
    if (::unshare(CLONE_NEWNS) != 0) return 90;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 91;
    if (::mount("tmpfs", "/opt", "tmpfs", 0, "size=16m") != 0) return 92;
    return body();
  });
  ASSERT_TRUE(WIFEXITED(run.wait_status)) << run.errors;
  EXPECT_EQ(WEXITSTATUS(run.wait_status), 0) << run.errors;
}

// The exit code of `body` run in a forked copy (of the forked copy): another process.
int in_other_process(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ModuleTest, LockFileIsCreatedWithItsDirectoryAndRemovedByTheLastHolder) {
  with_private_opt([] {
    Checks checks;
    const std::string path = k_lock_dir + "/" + resource_lock_file_handler::make_lock_file_name("mod", "res");
    {
      resource_file_lock lock("mod", "res");
      checks.expect(fs::is_directory(k_lock_dir), "directory created");
      checks.expect(fs::is_regular_file(path) && fs::file_size(path) == 0, "empty lock file created");
      checks.expect_eq(lock.resource_lock_file_path().string(), path, "path");
      checks.expect(lock.try_lock(), "first holder locks");
      // Another process: the lock is busy, and that process leaves the file when it goes.
      checks.expect_eq(in_other_process([] {
                         resource_file_lock other("mod", "res");
                         return other.try_lock() ? 1 : 0;
                       }),
                       0, "second process refused");
      checks.expect(fs::exists(path), "file kept by the refused process");
      lock.unlock();
    }
    checks.expect(!fs::exists(path), "file removed by the last holder");
    checks.expect(fs::is_directory(k_lock_dir), "directory kept");
    return checks.code();
  });
}

TEST_F(ModuleTest, HolderThatFindsTheLockTakenLeavesTheFile) {
  with_private_opt([this] {
    Checks checks;
    int ready[2];
    int release[2];
    if (::pipe(ready) != 0 || ::pipe(release) != 0) return 93;
    const pid_t holder = ::fork();
    if (holder == 0) {
      resource_file_lock lock("mod", "res");
      const bool locked = lock.try_lock();
      char byte = locked ? 'y' : 'n';
      [[maybe_unused]] ssize_t io = ::write(ready[1], &byte, 1);
      io = ::read(release[0], &byte, 1);
      ::_exit(0);  // leaves without the destructor, as a process ended by a signal does
    }
    char byte = 0;
    checks.expect(::read(ready[0], &byte, 1) == 1 && byte == 'y', "holder locked");
    const std::string path = k_lock_dir + "/" + resource_lock_file_handler::make_lock_file_name("mod", "res");
    {
      resource_file_lock lock("mod", "res");
      checks.expect(!lock.try_lock(), "busy while held");
    }
    checks.expect(fs::exists(path), "file left while another process holds it");
    checks.expect(std::none_of(log().begin(), log().end(),
                               [](const std::string& line) { return line.find("try remove") != std::string::npos; }),
                  "no removal logged");
    [[maybe_unused]] ssize_t io = ::write(release[1], "x", 1);
    ::waitpid(holder, nullptr, 0);
    // The holder ended without removing the file; the next process reuses it and, as the
    // last holder, removes it.
    {
      resource_file_lock lock("mod", "res");
      checks.expect(lock.try_lock(), "free once the holder is gone");
      lock.unlock();
    }
    checks.expect(!fs::exists(path), "next process removed it");
    checks.expect_eq(log_at("Debug").back(),
                     std::string("resource_file_lock dtor: module \"mod\", resource \"res\", file lock path ") + path +
                         " -> try remove...",
                     "removal line");
    return checks.code();
  });
}

TEST_F(ModuleTest, LockOnAFileTheLastHolderRemovedIsNotKept) {
  with_private_opt([] {
    Checks checks;
    int to_late[2];
    int from_late[2];
    if (::pipe(to_late) != 0 || ::pipe(from_late) != 0) return 93;
    auto first = std::make_unique<resource_file_lock>("mod", "res");
    checks.expect(first->try_lock(), "first holder locks");
    const pid_t late = ::fork();
    if (late == 0) {
      // Opens the file while the first holder still has it, and tries to lock once it is gone.
      resource_file_lock lock("mod", "res");
      char byte = 'o';
      [[maybe_unused]] ssize_t io = ::write(from_late[1], &byte, 1);
      io = ::read(to_late[0], &byte, 1);
      byte = lock.try_lock() ? 'y' : 'n';
      io = ::write(from_late[1], &byte, 1);
      io = ::read(to_late[0], &byte, 1);
      ::_exit(0);
    }
    char byte = 0;
    [[maybe_unused]] ssize_t io = ::read(from_late[0], &byte, 1);
    first->unlock();
    first.reset();  // the last holder: removes the file
    io = ::write(to_late[1], "x", 1);
    checks.expect(::read(from_late[0], &byte, 1) == 1 && byte == 'y', "late process locks");
    checks.expect_eq(in_other_process([] {
                       resource_file_lock next("mod", "res");
                       return next.try_lock() ? 1 : 0;
                     }),
                     0, "the next process is refused while the late one holds the lock");
    io = ::write(to_late[1], "x", 1);
    ::waitpid(late, nullptr, 0);
    return checks.code();
  });
}

TEST_F(ModuleTest, ScopedLockUnlocksWhenItsScopeEnds) {
  with_private_opt([] {
    Checks checks;
    resource_file_lock lock("mod", "res");
    auto busy_elsewhere = [] {
      return in_other_process([] {
        resource_file_lock other("mod", "res");
        return other.try_lock() ? 0 : 1;
      });
    };
    {
      resource_file_scoped_lock scoped(lock, boost::interprocess::try_to_lock);
      checks.expect(scoped.owns(), "try constructor locks");
      checks.expect_eq(busy_elsewhere(), 1, "held by the scope");
      resource_file_scoped_lock moved(std::move(scoped));
      checks.expect(moved.owns() && !scoped.owns(), "ownership moves");
      checks.expect(moved.guarded() == &lock, "guards the same lock");
    }
    checks.expect_eq(busy_elsewhere(), 0, "free after the scope");
    {
      resource_file_scoped_lock deferred(lock, boost::interprocess::defer_lock);
      checks.expect(!deferred.owns(), "defer does not lock");
      checks.expect_eq(busy_elsewhere(), 0, "still free");
    }
    {
      resource_file_scoped_lock blocking(lock);
      checks.expect(blocking.owns(), "blocking constructor locks");
      checks.expect(lock.try_lock(), "");  // within one process the lock is always free
    }
    checks.expect_eq(busy_elsewhere(), 0, "free after the blocking scope");
    return checks.code();
  });
}

TEST_F(ModuleTest, LockFileCreationFailuresAreLoggedAndThrown) {
  with_private_opt([this] {
    Checks checks;
    // A file where the directory chain should go.
    std::ofstream("/opt/kelvanor") << "not a directory";
    try {
      resource_file_lock lock("mod", "res");
      checks.expect(false, "no exception without a directory");
    } catch (const std::runtime_error& error) {
      checks.expect_eq(std::string(error.what()), std::string("unable to prepare resources lock file parent directories"),
                       "exception");
    }
    checks.expect_eq(errors().back(), "lock file parent directories creation at " + k_lock_dir + " fails!", "error");

    fs::remove("/opt/kelvanor");
    fs::create_directories(k_lock_dir);
    const std::string path = k_lock_dir + "/" + resource_lock_file_handler::make_lock_file_name("mod", "res");
    fs::create_symlink("/opt/missing/target", path);
    try {
      resource_file_lock lock("mod", "res");
      checks.expect(false, "no exception when the file cannot be made");
    } catch (const std::runtime_error& error) {
      checks.expect_eq(std::string(error.what()), std::string("unable to create lock file"), "exception");
    }
    checks.expect_eq(errors().back(),
                     "lock file " + path + " for module \"mod\" with resource \"res\" creation fails!", "error");
    return checks.code();
  });
}

TEST_F(ModuleTest, RemovalFailureIsLoggedWithTheErrorCode) {
  with_private_opt([this] {
    Checks checks;
    resource_lock_file_handler handler("mod", "res");
    const std::string path = handler.resource_lock_file_path().string();
    fs::remove(path);
    fs::create_directories(path + "/inside");  // a non-empty directory cannot be removed
    checks.expect(!handler.remove(), "removal fails");
    checks.expect_eq(errors().back(),
                     "unable to remove lock file " + path + " for module \"mod\" with resource \"res\" (system:39)!",
                     "error");
    fs::remove_all(path);
    return checks.code();
  });
}

// --- The module's lock ---

struct LockingModule : FakeModule {
  using FakeModule::FakeModule;
  using KvModuleUniversal::resource_file_lock;
};

TEST_F(ModuleTest, ReassignmentNamesTheProgramAndResourceAndWarnsOnAChange) {
  with_private_opt([this] {
    Checks checks;
    LockingModule module;
    module.options_.program_path = "/usr/lib/kelvanor/kv_module_one";
    checks.expect(module.reassign_resource_locker("vm-1"), "first lock");
    checks.expect(fs::exists(k_lock_dir + "/" + resource_lock_file_handler::make_lock_file_name("kv_module_one", "vm-1")),
                  "file of program file name + resource");
    checks.expect(warnings().empty(), "no warning for the first pair");

    module.options_.program_path = "/other/kv_module_two";
    checks.expect(module.reassign_resource_locker("vm-2"), "second lock");
    checks.expect(warnings() == std::vector<std::string>{"lock resource changes for [ module, resource ] pair { "
                                                         "\"kv_module_one\", \"vm-1\" } -> { \"kv_module_two\", "
                                                         "\"vm-2\" }!"},
                  "warning");
    // The old pair's lock was free, so its file went with it.
    checks.expect(!fs::exists(k_lock_dir + "/" + resource_lock_file_handler::make_lock_file_name("kv_module_one", "vm-1")),
                  "old file removed");
    // The same pair again keeps the lock and its file.
    checks.expect(module.reassign_resource_locker("vm-2"), "same pair");
    checks.expect(fs::exists(module.resource_file_lock.resource_lock_file_path()), "file of the same pair kept");
    return checks.code();
  });
}

TEST_F(ModuleTest, ReassignmentFailureIsAnErrorAndTheLockStepGivesTwo) {
  with_private_opt([this] {
    Checks checks;
    std::ofstream("/opt/kelvanor") << "not a directory";
    KvModuleOptions options;
    options.operation = Backup;
    options.resource = "vm \"1\"";
    options.one_resource_at_a_time = true;
    FakeModule module(options);
    checks.expect_eq(module.run(), 2u, "status");
    checks.expect_eq(errors().back(),
                     std::string("bool KvModuleUniversal::reassign_resource_locker(const string&): \"vm \\\"1\\\"\" "
                                 "resource locking failed (unable to prepare resources lock file parent directories)!"),
                     "error");
    checks.expect(module.calls.empty(), "no hook ran");
    return checks.code();
  });
}

TEST_F(ModuleTest, BusyResourceEndsTheBackupWithTwoAndAFreeOneIsLocked) {
  with_private_opt([this] {
    Checks checks;
    KvModuleOptions options;
    options.operation = Backup;
    options.resource = "vm-1";
    options.program_path = "kv_module_fake";
    options.one_resource_at_a_time = true;
    options.tmp_operation_directory = "/opt/op";
    options.archive_name = "arch";

    int ready[2];
    int release[2];
    if (::pipe(ready) != 0 || ::pipe(release) != 0) return 93;
    const pid_t holder = ::fork();
    if (holder == 0) {
      resource_file_lock lock("kv_module_fake", "vm-1");
      char byte = lock.try_lock() ? 'y' : 'n';
      [[maybe_unused]] ssize_t io = ::write(ready[1], &byte, 1);
      io = ::read(release[0], &byte, 1);
      ::_exit(0);
    }
    char byte = 0;
    checks.expect(::read(ready[0], &byte, 1) == 1 && byte == 'y', "holder locked");
    {
      FakeModule module(options);
      checks.expect_eq(module.run(), 2u, "busy status");
      checks.expect(module.calls.empty(), "no hook ran while busy");
      checks.expect_eq(errors().back(), std::string("resource \"vm-1\" is busy by another process!"), "busy error");
      checks.expect(out().rfind("MODULE PID:", 0) == 0, "pid printed first");
    }
    [[maybe_unused]] ssize_t io = ::write(release[1], "x", 1);
    ::waitpid(holder, nullptr, 0);
    {
      FakeModule module(options);
      checks.expect_eq(module.run(), 6u, "status once free");  // the data mover is not there
      const auto debug = log_at("Debug");
      checks.expect(std::find(debug.begin(), debug.end(), "resource\"vm-1\" locked.") != debug.end(), "locked line");
    }
    return checks.code();
  });
}

}  // namespace
