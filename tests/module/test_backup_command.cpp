#include "tests/module/module_test_support.h"

#include "common/kv_utils_common.h"
#include "tests/support/temp_dir.h"

#include <boost/filesystem/operations.hpp>

#include <sys/stat.h>

#include <functional>
#include <string>

using namespace module_test;
namespace fs = boost::filesystem;

namespace {

constexpr const char* k_common_sig = "bool KvModuleUniversal::make_backup_cmd_common(std::string&)";
constexpr const char* k_local_sig = "bool KvModuleUniversal::make_backup_locally()";
const std::string k_keys = "/opt/kelvanor/keys/master-key,/opt/kelvanor/keys/secret-key.pem";

// The end-to-end backups pin the command line of the defaults; these are the options they do
// not reach. The local backup leaves the process umask at 077: each test gets its own back.
class BackupCommand : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    m_saved_umask = ::umask(022);
  }
  void TearDown() override {
    ::umask(m_saved_umask);
    ModuleTest::TearDown();
  }

  // A full backup of resource "vm" from a list file that exists.
  std::unique_ptr<FakeModule> make(const std::string& directory = "") {
    KvModuleOptions options;
    options.operation = Backup;
    options.resource = "vm";
    options.tmp_operation_directory = directory.empty() ? dir() + "/op" : directory;
    options.archive_name = "NAME";
    options.media_server = "MEDIA";
    options.task_id = "TASK";
    options.resource_list_file = options.tmp_operation_directory + "/NAME.kvfd.list";
    fs::create_directories(options.tmp_operation_directory);
    kv_test::write_file(options.resource_list_file, "KVFD file list:\n");
    return std::make_unique<FakeModule>(options);
  }

  mode_t m_saved_umask = 022;
};

TEST_F(BackupCommand, OptionsBeyondTheDefaults) {
  const std::string d = dir() + "/op";
  const std::string restrictions = dir() + "/restrictions";
  struct Case {
    std::function<void(FakeModule&)> change;
    std::string part;
    bool present;
  };
  const std::vector<Case> cases = {
      {[](FakeModule& m) { m.options_.parallelism = 0; }, " -p 0 -x ", true},
      {[](FakeModule& m) { m.kvd_hash_length = 1024; }, "/kvfd -a sha2 -5  -b 16384 -c ", true},
      // A directory is named by its own path: after "cd /" a "." would be the root.
      {[&](FakeModule& m) { m.options_.resource_list_file.clear(), m.options_.resource = dir(); },
       " -c " + dir() + " -x ", true},
      {[](FakeModule& m) { m.options_.local_restrictions = true; }, " -x " + k_keys + ", -z None", true},
      {[](FakeModule& m) { m.options_.local_restrictions = true; }, " -X ", false},
      {[&](FakeModule& m) {
         m.options_.local_restrictions = true;
         m.options_.restriction_list_path = restrictions;
         kv_test::write_file(restrictions, "/srv/a\n/srv/my data\n");
       },
       " -x '" + k_keys + ",/srv/a,/srv/my data' -z None -M MEDIA -N NAME -T TASK -s "
       "/opt/kelvanor/var/tasks//task_secret_TASK -m " + d + "/NAME.snap_dir/NAME.meta -X " + restrictions + " 2>&1",
       true},
  };
  for (const Case& c : cases) {
    auto module = make();
    c.change(*module);
    std::string command;
    ASSERT_TRUE(module->compose_local_backup_command(command)) << c.part;
    EXPECT_EQ(command.find(c.part) != std::string::npos, c.present) << command;
    fs::remove(restrictions);
  }
  EXPECT_TRUE(errors().empty());
}

TEST_F(BackupCommand, RefusalsBeforeTheDataMoverRuns) {
  struct Case {
    std::function<void(FakeModule&)> change;
    std::string error;
  };
  const std::vector<Case> cases = {
      {[&](FakeModule& m) { m.options_.resource_list_file = dir() + "/none.list"; },
       std::string(k_common_sig) + ": resource list file doesn't exist: " + dir() + "/none.list"},
      {[](FakeModule& m) { m.options_.backup_type = 5; }, std::string(k_common_sig) + ": wrong backup type: 5"},
      {[&](FakeModule& m) { m.options_.crypto = "gost", m.options_.key_file = dir() + "/none.key"; },
       "there is no key file: " + dir() + "/none.key"},
      {[&](FakeModule& m) { m.options_.media_server = "MEDIA\nx"; },
       std::string(k_local_sig) + ": exception: a value holding a newline cannot be passed to a shell command: MEDIA\\nx"},
  };
  for (const Case& c : cases) {
    auto module = make();
    c.change(*module);
    EXPECT_FALSE(module->make_backup_locally()) << c.error;
    EXPECT_EQ(errors().back(), c.error);
  }
  EXPECT_EQ(errors().size(), cases.size());
}

TEST_F(BackupCommand, FailedDataMoverIsReportedAndTheUmaskIsRestricted) {
  ::umask(002);
  auto module = make();
  const std::string command = "umask > " + dir() + "/umask; echo diagnostics; exit 1";
  EXPECT_FALSE(module->run_local_backup_command(command));
  EXPECT_FALSE(module->backup_succeeded);
  EXPECT_EQ(errors(), (std::vector<std::string>{std::string(k_local_sig) + ": " + command, "kvfd out: diagnostics"}));
  EXPECT_EQ(kv_test::read_file(dir() + "/umask"), "0022\n");
  const mode_t now = ::umask(0);
  EXPECT_EQ(now, 077u);
}

TEST_F(BackupCommand, ClosingAnAutonomousReplicaBackup) {
  auto module = make();
  module->options_.autonomous = true;
  module->selected_storage_type = 1;
  module->selected_storage_id = 5;
  module->file_list = true;  // never for a replica
  fs::create_directories(module->leveldb_directory_path());
  kv_test::write_file(module->meta_filename(), "meta");
  kv_test::write_file(module->leveldb_directory_path() + "/000001.log", "leveldb");
  kv_test::write_file(module->archive_filename(), "archive");
  const std::string d = dir() + "/op";

  ASSERT_TRUE(module->close_backup(true));
  EXPECT_EQ(out(), "CLIENT DEFINED STORAGE:local-directory@5\nMAIN ARCHIVE FILENAME:" + d +
                       "/NAME.kvfd\nMAIN SNAPSHOT FILENAME:" + d + "/NAME.snap\nMAIN ARCHIVE SIGN FILENAME:" + d +
                       "/NAME.kvfd.signature\n");
  // The leveldb directory is dropped before packing; the meta file travels.
  std::string members;
  ASSERT_EQ(kv_utils_common::execute_command("/bin/tar tzf '" + module->snapshot_filename() + "'", members), 0);
  EXPECT_NE(members.find("./NAME.meta"), std::string::npos) << members;
  EXPECT_EQ(members.find("leveldb"), std::string::npos) << members;
  EXPECT_FALSE(fs::exists(module->snapshot_directory_path()));
}

TEST_F(BackupCommand, SnapshotThatCannotBePackedFailsTheClosing) {
  auto module = make();
  EXPECT_FALSE(module->close_backup(false));
  EXPECT_EQ(errors().back(), "bool KvModuleUniversal::close_backup(const bool&): can't create the main snapshot file:");
  EXPECT_EQ(out(), "");
}

}  // namespace
