// Lock-file names, the lock file's life and the module's lock reassignment. The lock directory
// is fixed under /opt, so every test that makes files runs in a forked copy of the test process
// inside a private mount namespace with a fresh tmpfs over /opt (and an empty one over /proc).
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
#include <sstream>
#include <string>

using namespace module_test;
using kelvanor::module::resource_file_lock;
using kelvanor::module::resource_file_scoped_lock;
using kelvanor::module::resource_lock_file_handler;
namespace fs = boost::filesystem;

namespace {

const std::string k_lock_dir = "/opt/kelvanor/var/kelvanor-modules";

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
  EXPECT_EQ(resource_lock_file_handler::make_lock_file_name(c.module, c.resource),
            "Kelvanor_MOD_mutex_" + c.digest.substr(0, 8));
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
        NameCase{"ma", "b", "fdecf5d6956b4493ec32ff20c5ae793de1fe33ade6512b01e852bd7b94fb9782"}));

// --- Files, in a private /opt ---

// Collects failures of a forked copy, which cannot use the test's own assertions, on fd 2.
class Checks {
 public:
  template <typename T>
  void expect_eq(const T& actual, const T& expected, const std::string& what) {
    if (actual == expected) return;
    m_failed = true;
    std::ostringstream text;
    text << "FAILED: " << what << ": got [" << actual << "], expected [" << expected << "]\n";
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text.str().data(), text.str().size());
  }
  void expect(bool ok, const std::string& what) { expect_eq(ok, true, what); }
  [[nodiscard]] int code() const { return m_failed ? 1 : 0; }

 private:
  bool m_failed = false;
};

// Runs `body` in a forked copy of the test process whose /opt is a fresh, empty tmpfs. /proc is
// an empty one too: the lock must not need it (a container or chroot may have none).
void with_private_opt(const std::function<int(Checks&)>& body) {
  const kv_test::ForkedRun run = kv_test::run_forked([&] {
    if (::unshare(CLONE_NEWNS) != 0) return 90;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 91;
    if (::mount("tmpfs", "/opt", "tmpfs", 0, "size=16m") != 0) return 92;
    if (::mount("tmpfs", "/proc", "tmpfs", 0, "size=1m") != 0) return 93;
    Checks checks;
    const int code = body(checks);
    return code != 0 ? code : checks.code();
  });
  ASSERT_TRUE(WIFEXITED(run.wait_status)) << run.errors;
  EXPECT_EQ(WEXITSTATUS(run.wait_status), 0) << run.errors;
}

// True when another process finds the pair's lock free.
bool free_elsewhere() {
  const pid_t pid = ::fork();
  if (pid == 0) {
    bool locked = false;
    {
      resource_file_lock other("mod", "res");  // its end removes the file only when it is free
      locked = other.try_lock();
    }
    ::_exit(locked ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(ModuleTest, LockFileIsCreatedWithItsDirectoryAndRemovedByTheLastHolder) {
  with_private_opt([this](Checks& checks) {
    const std::string path = k_lock_dir + "/" + resource_lock_file_handler::make_lock_file_name("mod", "res");
    {
      resource_file_lock lock("mod", "res");
      checks.expect(fs::is_regular_file(path) && fs::file_size(path) == 0, "empty lock file created");
      checks.expect(lock.try_lock(), "first holder locks");
      // The refused process leaves the file to its holder.
      checks.expect(!free_elsewhere(), "second process refused");
      checks.expect(fs::exists(path), "file kept by the refused process");
      {
        resource_file_scoped_lock scoped(lock, boost::interprocess::accept_ownership);
      }
      checks.expect(free_elsewhere(), "free once the scope gave it up");
    }
    checks.expect(!fs::exists(path), "file removed by the last holder");
    checks.expect_eq(log_at("Debug").back(),
                     "resource_file_lock dtor: module \"mod\", resource \"res\", file lock path " + path +
                         " -> try remove...",
                     "removal line");
    return 0;
  });
}

TEST_F(ModuleTest, LockFileFailuresAreLogged) {
  with_private_opt([this](Checks& checks) {
    fs::create_directories(k_lock_dir);
    const std::string path = k_lock_dir + "/" + resource_lock_file_handler::make_lock_file_name("mod", "res");
    fs::create_symlink("/opt/missing/target", path);
    try {
      resource_file_lock lock("mod", "res");
      checks.expect(false, "no exception when the file cannot be made");
    } catch (const std::runtime_error& error) {
      checks.expect_eq(std::string(error.what()), std::string("unable to create lock file"), "exception");
    }
    checks.expect_eq(errors().back(), "lock file " + path + " for module \"mod\" with resource \"res\" creation fails!",
                     "creation error");
    fs::remove(path);
    resource_lock_file_handler handler("mod", "res");
    fs::remove(path);
    fs::create_directories(path + "/inside");  // a non-empty directory cannot be removed
    checks.expect(!handler.remove(), "removal fails");
    checks.expect_eq(errors().back(),
                     "unable to remove lock file " + path + " for module \"mod\" with resource \"res\" (system:39)!",
                     "removal error");
    fs::remove_all(path);
    return 0;
  });
}

// --- The module's lock ---

struct LockingModule : FakeModule {
  using FakeModule::FakeModule;
  using KvModuleUniversal::resource_file_lock;
};

TEST_F(ModuleTest, ReassignmentNamesTheProgramAndResourceAndWarnsOnAChange) {
  with_private_opt([this](Checks& checks) {
    LockingModule module;
    const auto file_of = [](const std::string& program, const std::string& resource) {
      return k_lock_dir + "/" + resource_lock_file_handler::make_lock_file_name(program, resource);
    };
    module.options_.program_path = "/usr/lib/kelvanor/kv_module_one";
    checks.expect(module.reassign_resource_locker("vm-1"), "first lock");
    checks.expect(fs::exists(file_of("kv_module_one", "vm-1")), "file of program file name + resource");
    module.options_.program_path = "/other/kv_module_two";
    checks.expect(module.reassign_resource_locker("vm-2"), "second lock");
    checks.expect(warnings() == std::vector<std::string>{"lock resource changes for [ module, resource ] pair { "
                                                         "\"kv_module_one\", \"vm-1\" } -> { \"kv_module_two\", \"vm-2\" }!"},
                  "warning");
    checks.expect(!fs::exists(file_of("kv_module_one", "vm-1")), "old file removed");
    // The same pair again keeps the lock and its file.
    checks.expect(module.reassign_resource_locker("vm-2"), "same pair");
    checks.expect(fs::exists(file_of("kv_module_two", "vm-2")), "file of the same pair kept");
    return 0;
  });
}

TEST_F(ModuleTest, LockStepGivesTwoWhenTheFileCannotBeMadeAndLocksOtherwise) {
  with_private_opt([this](Checks& checks) {
    KvModuleOptions options;
    options.operation = Backup;
    options.resource = "vm \"1\"";
    options.program_path = "kv_module_fake";
    options.one_resource_at_a_time = true;
    options.tmp_operation_directory = "/opt/op";
    options.archive_name = "arch";
    std::ofstream("/opt/kelvanor") << "not a directory";
    {
      FakeModule module(options);
      checks.expect_eq(module.run(), 2u, "status");
      checks.expect_eq(errors().back(),
                       std::string("bool KvModuleUniversal::reassign_resource_locker(const string&): \"vm \\\"1\\\"\" "
                                   "resource locking failed (unable to prepare resources lock file parent directories)!"),
                       "error");
      checks.expect_eq(errors().front(), "lock file parent directories creation at " + k_lock_dir + " fails!",
                       "directory error");
      checks.expect(module.calls.empty(), "no hook ran");
    }
    fs::remove("/opt/kelvanor");
    FakeModule module(options);
    checks.expect_eq(module.run(), 6u, "status once the lock is taken");  // the data mover is not there
    const auto debug = log_at("Debug");
    checks.expect(std::find(debug.begin(), debug.end(), "resource\"vm \\\"1\\\"\" locked.") != debug.end(),
                  "locked line");
    return 0;
  });
}

}  // namespace
