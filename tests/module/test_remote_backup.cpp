#include "tests/module/module_test_support.h"
#include "module/client_storage.h"
#include "tests/support/process_helpers.h"
#include "tests/support/temp_dir.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <map>
#include <string>
#include <vector>

using namespace module_test;

namespace {

// A host name that never resolves, so the one real ssh run (the data mover's) fails at once.
const std::string k_host = "kv-test.invalid";
const std::string k_ssh = "/usr/bin/ssh -q -l root " + k_host + " ";

// No operation backs up over ssh: one smoke row, and the quoting of the remote commands.
class RemoteBackupTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    kelvanor::module::set_tasks_directory_for_tests(dir() + "/tasks/");
    auto& o = module.options_;
    o.remote_host = k_host;
    o.task_id = "9";
    o.tmp_operation_directory = dir() + "/op";
    o.archive_name = "arch";
    o.media_server = "ms";
    o.resource_list_file = dir() + "/list";
    kv_test::write_file(o.resource_list_file, "/srv/a\n");
    module.set_command_runner([this](const std::string& command, std::string& output) {
      commands.push_back(command);
      output = "refused";
      return command.rfind(failing, 0) == 0 ? 1 : 0;
    });
  }
  void TearDown() override {
    kelvanor::module::set_tasks_directory_for_tests("");
    ModuleTest::TearDown();
  }

  FakeModule module;
  std::vector<std::string> commands;
  std::string failing = "none";  // the beginning of the commands that fail
};

TEST_F(RemoteBackupTest, FailedRemoteDataMoverCleansTheRemoteHost) {
  const std::string snap = dir() + "/op/arch.snap_dir";
  const std::string secret = dir() + "/tasks//task_secret_9";
  module.options_.restriction_list_path = dir() + "/restrict";
  kv_test::write_file(module.options_.restriction_list_path, "/srv/secret\n");
  EXPECT_FALSE(module.make_backup_remotely());
  EXPECT_EQ(commands, (std::vector<std::string>{
                          k_ssh + " -o ConnectTimeout=5 -o PasswordAuthentication=no -o PubkeyAuthentication=yes -o "
                                  "BatchMode=yes 'exit 0'",
                          k_ssh + "'test -d " + dir() + "/op'",
                          k_ssh + "'mkdir -p " + snap + " " + dir() + "/tasks/'",
                          "/usr/bin/scp " + secret + " root@" + k_host + ":" + secret,
                          "/usr/bin/scp " + dir() + "/list root@" + k_host + ":" + dir() + "/list",
                          "/usr/bin/scp " + dir() + "/restrict root@" + k_host + ":" + snap,
                          k_ssh + "'rm " + dir() + "/list " + secret + " " + snap + "/arch.meta " + snap + "/restrict'",
                          k_ssh + "'rmdir " + snap + "'"}));
  EXPECT_EQ(errors().front().rfind("bool KvModuleUniversal::make_backup_remotely(): remote KVFD command " + k_ssh + "'",
                                   0),
            0u)
      << errors().front();

  failing = k_ssh + "'rm ";  // a failed removal does not keep the next one from running
  commands.clear();
  EXPECT_FALSE(module.cleanup_remote_host(k_ssh));
  EXPECT_EQ(commands.back(), k_ssh + "'rmdir " + snap + "'");
}

TEST_F(RemoteBackupTest, RemoteCommandsCannotBeExpandedLocally) {
  module.options_.tmp_operation_directory = dir() + "/$(touch pwned)";
  failing = k_ssh + "'test -d";
  EXPECT_FALSE(module.make_backup_remotely());
  EXPECT_EQ(commands.back(), k_ssh + "'test -d '\\''" + dir() + "/$(touch pwned)'\\'''");
}

// The pid the remote data mover prints is one of the remote host; pause, resume and stop must
// reach the local ssh instead. The ssh is played by a script bound over /usr/bin/ssh in a private
// mount namespace of a forked copy: it notes its pid, prints the data mover's pid line and ends
// by a signal, so that the pid the signals would reach is kept for a look at it.
TEST_F(RemoteBackupTest, SignalsAreForTheLocalSshNotTheRemotePid) {
  const std::string ssh_pid = dir() + "/ssh.pid";
  kv_test::write_file(dir() + "/ssh", "#!/bin/sh\necho $$ > " + ssh_pid + "\necho 'KVFD PID: 4343'\nkill -KILL $$\n",
                      0755);
  const kv_test::ForkedRun run = kv_test::run_forked([&] {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount((dir() + "/ssh").c_str(), "/usr/bin/ssh", nullptr, MS_BIND, nullptr) != 0)
      return 90;
    if (module.make_backup_remotely() || out() != "KVFD PID: 4343\n") return 91;
    return module.kvfd_pid == std::stoi(kv_test::read_file(ssh_pid)) ? 0 : 92;
  });
  ASSERT_TRUE(WIFEXITED(run.wait_status)) << run.errors;
  EXPECT_EQ(WEXITSTATUS(run.wait_status), 0) << run.errors;
}

}  // namespace
