#include "module/client_storage.h"
#include "tests/module/module_test_support.h"
#include "tests/support/temp_dir.h"

#include <boost/filesystem/operations.hpp>

#include <map>
#include <string>
#include <vector>

using namespace module_test;

namespace {

// A host name that never resolves, so the one real ssh run (the data mover's) fails at once.
const std::string k_host = "kv-test.invalid";
const std::string k_ssh = "/usr/bin/ssh -q -l root " + k_host + " ";
const std::string k_sig = "bool KvModuleUniversal::make_backup_remotely()";

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
      for (const auto& [start, code] : failing)
        if (command.rfind(start, 0) == 0) {
          output = "refused";
          return code;
        }
      return 0;
    });
  }
  void TearDown() override {
    kelvanor::module::set_tasks_directory_for_tests("");
    ModuleTest::TearDown();
  }

  std::string snap() const { return dir() + "/op/arch.snap_dir"; }
  std::string secret() const { return dir() + "/tasks//task_secret_9"; }
  std::string meta() const { return snap() + "/arch.meta"; }
  std::vector<std::string> cleanup_commands(const std::string& extra = "") const {
    return {k_ssh + "'rm " + dir() + "/list " + secret() + " " + meta() + extra + "'",
            k_ssh + "'rmdir " + snap() + "'"};
  }

  FakeModule module;
  std::vector<std::string> commands;
  std::map<std::string, int> failing;  // command beginnings that fail, with their exit codes
};

TEST_F(RemoteBackupTest, FeaturesTheRemoteRoadCannotCarryAreRefusedBeforeAnySsh) {
  struct Case {
    std::function<void(KvModuleOptions&)> set;
    std::string message;
  };
  const std::vector<Case> cases = {
      {[](KvModuleOptions& o) { o.autonomous = true; }, ": Autonomous mode is not supported for remote backup kvfd mode"},
      {[](KvModuleOptions& o) { o.dgst = true; }, ": Digital signature is not supported for remote backup kvfd mode"},
      {[](KvModuleOptions& o) { o.crypto = "gost"; }, ": Encrytping signature is not supported for remote backup kvfd mode"},
  };
  for (const auto& c : cases) {
    KvModuleOptions saved = module.options_;
    c.set(module.options_);
    EXPECT_FALSE(module.make_backup_remotely());
    EXPECT_EQ(errors().back(), k_sig + c.message);
    module.options_ = saved;
  }
  EXPECT_TRUE(commands.empty());
}

TEST_F(RemoteBackupTest, DataMoverCommandKeepsItsOwnErrorJoin) {
  module.options_.restriction_list_path = dir() + "/restrict";
  kv_test::write_file(module.options_.restriction_list_path, "/srv/secret\n");
  std::string command;
  ASSERT_TRUE(module.compose_remote_backup_command(command));
  const std::string tail = " -M ms -N arch -T 9 -s " + secret() + " -m " + meta() + " 2>&1";
  EXPECT_EQ(command.substr(command.size() - tail.size()), tail);
  module.options_.local_restrictions = true;
  ASSERT_TRUE(module.compose_remote_backup_command(command));
  EXPECT_NE(command.find(" -m " + meta() + " -X " + snap() + "/restrict 2>&1"), std::string::npos) << command;
}

TEST_F(RemoteBackupTest, FailedRemoteDataMoverCleansTheRemoteHost) {
  module.options_.restriction_list_path = dir() + "/restrict";
  kv_test::write_file(module.options_.restriction_list_path, "/srv/secret\n");
  EXPECT_FALSE(module.make_backup_remotely());
  std::vector<std::string> expected = {
      k_ssh + " -o ConnectTimeout=5 -o PasswordAuthentication=no -o PubkeyAuthentication=yes -o BatchMode=yes "
              "'exit 0'",
      k_ssh + "'test -d " + dir() + "/op'",
      k_ssh + "'mkdir -p " + snap() + " " + dir() + "/tasks/'",
      "/usr/bin/scp " + secret() + " root@" + k_host + ":" + secret(),
      "/usr/bin/scp " + dir() + "/list root@" + k_host + ":" + dir() + "/list",
      "/usr/bin/scp " + dir() + "/restrict root@" + k_host + ":" + snap(),
  };
  for (const auto& c : cleanup_commands(" " + snap() + "/restrict")) expected.push_back(c);
  EXPECT_EQ(commands, expected);
  EXPECT_EQ(errors().front().rfind(k_sig + ": remote KVFD command " + k_ssh + "'", 0), 0u) << errors().front();
}

TEST_F(RemoteBackupTest, MissingListFileFailsTheCopyAndCleans) {
  module.options_.resource_list_file.clear();
  failing["/usr/bin/scp '' "] = 1;
  EXPECT_FALSE(module.make_backup_remotely());
  ASSERT_GE(commands.size(), 2u);
  EXPECT_EQ(std::vector<std::string>(commands.end() - 2, commands.end()),
            (std::vector<std::string>{k_ssh + "'rm '\\'''\\'' " + secret() + " " + meta() + "'",
                                      k_ssh + "'rmdir " + snap() + "'"}));
}

TEST_F(RemoteBackupTest, NothingIsCleanedBeforeTheFirstCopy) {
  struct Case {
    std::string failing, error;
  };
  const std::vector<Case> cases = {
      {k_ssh + " -o", k_sig + ": the ssh unable to connect. command output: refused\nssh connection failed to: " + k_host},
      {k_ssh + "'test -d", k_sig + "command output: refused\nfolder: " + dir() + "/op does not exist on remote host: " +
                               k_host},
      {k_ssh + "'mkdir", k_sig + ": the following command produced an error: " + k_ssh + "'mkdir -p " + snap() + " " +
                             dir() + "/tasks/'\ncommand output: refused"},
  };
  for (const auto& c : cases) {
    failing = {{c.failing, 255}};
    commands.clear();
    EXPECT_FALSE(module.make_backup_remotely());
    // The logger ends every line of a message with a blank before the colour reset.
    std::string error = errors().back();
    for (size_t at; (at = error.find(" \n")) != std::string::npos;) error.erase(at, 1);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(commands.back().rfind(c.failing, 0), 0u);
  }
}

TEST_F(RemoteBackupTest, CleanupGoesOnAfterAFailedRemoval) {
  failing[k_ssh + "'rm "] = 1;
  EXPECT_FALSE(module.cleanup_remote_host(k_ssh));
  EXPECT_EQ(commands, cleanup_commands());
  EXPECT_EQ(warnings().size(), 1u);
}

TEST_F(RemoteBackupTest, RemoteCommandsCannotBeExpandedLocally) {
  module.options_.tmp_operation_directory = dir() + "/$(touch pwned)";
  failing[k_ssh + "'test -d"] = 1;
  EXPECT_FALSE(module.make_backup_remotely());
  EXPECT_EQ(commands.back(), k_ssh + "'test -d '\\''" + dir() + "/$(touch pwned)'\\'''");
}

}  // namespace
