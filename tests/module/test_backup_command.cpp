#include "tests/module/module_test_support.h"
#include "tests/module/recording_data_mover.h"

#include "common/kv_utils_common.h"
#include "tests/support/temp_dir.h"

#include <boost/algorithm/string/replace.hpp>
#include <boost/filesystem/operations.hpp>

#include <sys/stat.h>

#include <functional>
#include <string>

using namespace module_test;
namespace fs = boost::filesystem;

namespace {

constexpr const char* k_common_sig = "bool KvModuleUniversal::make_backup_cmd_common(std::string&)";
constexpr const char* k_local_sig = "bool KvModuleUniversal::make_backup_locally()";
constexpr const char* k_close_sig = "bool KvModuleUniversal::close_backup(const bool&)";
const std::string k_keys = "/opt/kelvanor/keys/master-key,/opt/kelvanor/keys/secret-key.pem";

// The local backup leaves the process umask at 077; every test gets its own back.
class UmaskGuard {
 public:
  UmaskGuard() : m_saved(::umask(022)) { ::umask(m_saved); }
  ~UmaskGuard() { ::umask(m_saved); }
  UmaskGuard(const UmaskGuard&) = delete;
  UmaskGuard& operator=(const UmaskGuard&) = delete;

 private:
  mode_t m_saved;
};

mode_t current_umask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

class BackupCommand : public ModuleTest {
 protected:
  // A full backup of resource "vm" into `directory` (default: op in the test's folder), from a
  // list file that exists.
  std::unique_ptr<FakeModule> make(const std::string& directory = "", const std::string& name = "NAME") {
    KvModuleOptions options;
    options.operation = Backup;
    options.resource = "vm";
    options.tmp_operation_directory = directory.empty() ? dir() + "/op" : directory;
    options.archive_name = name;
    options.media_server = "MEDIA";
    options.task_id = "TASK";
    options.resource_list_file = options.tmp_operation_directory + "/" + name + ".kvfd.list";
    fs::create_directories(options.tmp_operation_directory);
    kv_test::write_file(options.resource_list_file, "KVFD file list:\n");
    return std::make_unique<FakeModule>(options);
  }

  std::string list(const FakeModule& module) const { return module.options_.resource_list_file; }

  UmaskGuard m_umask;
};

TEST_F(BackupCommand, WorkedExample) {
  auto module = make();
  std::string command;
  ASSERT_TRUE(module->compose_local_backup_command(command));
  const std::string d = dir() + "/op";
  EXPECT_EQ(command, "cd / && /opt/kelvanor/bin/kvfd -a sha2 -2  -b 16384 -c " + d + "/NAME.kvfd.list -x " + k_keys +
                         " -z None -M MEDIA -N NAME -T TASK -s /opt/kelvanor/var/tasks//task_secret_TASK -m " + d +
                         "/NAME.snap_dir/NAME.meta 2>&1");
  EXPECT_TRUE(errors().empty());
}

struct CommonCase {
  std::string name;
  std::function<void(FakeModule&, const std::string& dir)> change;
  std::string after_source;  // what follows " -c " and the list path
};

TEST_F(BackupCommand, CommonPartOptionByOption) {
  const std::vector<CommonCase> cases = {
      {"defaults", [](FakeModule&, const std::string&) {}, " -x " + k_keys + " -z None"},
      {"parallelism 0", [](FakeModule& m, const std::string&) { m.options_.parallelism = 0; },
       " -p 0 -x " + k_keys + " -z None"},
      {"parallelism 8", [](FakeModule& m, const std::string&) { m.options_.parallelism = 8; },
       " -p 8 -x " + k_keys + " -z None"},
      {"data mover parameters",
       [](FakeModule& m, const std::string&) { m.kvfd_flags = {{"enable_multithreading", "yes"}}; },
       " -e enable_multithreading:yes -x " + k_keys + " -z None"},
      {"restrictions without a list", [](FakeModule& m, const std::string&) { m.options_.local_restrictions = true; },
       " -x " + k_keys + ", -z None"},
      {"restriction list",
       [](FakeModule& m, const std::string& d) {
         m.options_.local_restrictions = true;
         m.options_.restriction_list_path = d + "/restrictions";
         kv_test::write_file(d + "/restrictions", "/srv/a\n/srv/b\n");
       },
       " -x " + k_keys + ",/srv/a,/srv/b -z None"},
      {"restriction with a blank",
       [](FakeModule& m, const std::string& d) {
         m.options_.local_restrictions = true;
         m.options_.restriction_list_path = d + "/restrictions";
         kv_test::write_file(d + "/restrictions", "/srv/my data\n");
       },
       " -x '" + k_keys + ",/srv/my data' -z None"},
      {"numeric owner", [](FakeModule& m, const std::string&) { m.numeric_owner = true; },
       " -x " + k_keys + " --numeric-owner -z None"},
      {"incremental",
       [](FakeModule& m, const std::string&) {
         m.options_.backup_type = 2;
         m.options_.unpacked_meta_file = "/op/old.snap_dir/old.meta";
       },
       " -x " + k_keys + " -S /op/old.snap_dir/old.meta -z None"},
      {"differential",
       [](FakeModule& m, const std::string&) {
         m.options_.backup_type = 3;
         m.options_.unpacked_meta_file = "/op/old.meta";
       },
       " -x " + k_keys + " -S /op/old.meta -z None"},
      {"no compression", [](FakeModule& m, const std::string&) { m.options_.compress = 0; }, " -x " + k_keys},
      {"best compression", [](FakeModule& m, const std::string&) { m.options_.compress = 4; },
       " -x " + k_keys + " -z best"},
      {"memory threshold", [](FakeModule& m, const std::string&) { m.options_.memory_threshold = 100; },
       " -x " + k_keys + " -z None --memory-threshold 100"},
  };
  for (const CommonCase& c : cases) {
    auto module = make();
    c.change(*module, dir());
    std::string command = "previous";
    ASSERT_TRUE(module->make_backup_cmd_common(command)) << c.name;
    EXPECT_EQ(command, "cd / && /opt/kelvanor/bin/kvfd -a sha2 -2  -b 16384 -c " + list(*module) + c.after_source)
        << c.name;
  }
  EXPECT_TRUE(errors().empty());
}

TEST_F(BackupCommand, HashLengthAndBlockSize) {
  auto module = make();
  module->kvd_hash_length = 512;
  module->kvd_block_size = 65536;
  module->kvd_hash_algorithm = "streebog";
  std::string command;
  ASSERT_TRUE(module->make_backup_cmd_common(command));
  EXPECT_EQ(command.rfind("cd / && /opt/kelvanor/bin/kvfd -a streebog -5  -b 65536 -c ", 0), 0u) << command;
}

TEST_F(BackupCommand, SourceWithoutAListFile) {
  auto directory = make();
  directory->options_.resource_list_file.clear();
  directory->options_.resource = dir();
  std::string command;
  ASSERT_TRUE(directory->make_backup_cmd_common(command));
  EXPECT_EQ(command, "cd / && /opt/kelvanor/bin/kvfd -a sha2 -2  -b 16384 -c " + dir() + " -x " + k_keys + " -z None");

  auto path = make();
  path->options_.resource_list_file.clear();
  path->options_.resource = "/srv/data file";
  ASSERT_TRUE(path->make_backup_cmd_common(command));
  EXPECT_EQ(command, "cd / && /opt/kelvanor/bin/kvfd -a sha2 -2  -b 16384 -c '/srv/data file' -x " + k_keys + " -z None");
}

TEST_F(BackupCommand, CommonPartRefusals) {
  struct Case {
    std::function<void(FakeModule&, const std::string&)> change;
    std::string error;
  };
  const std::vector<Case> cases = {
      {[](FakeModule& m, const std::string& d) { m.options_.resource_list_file = d + "/none.list"; },
       std::string(k_common_sig) + ": resource list file doesn't exist: " + dir() + "/none.list"},
      {[](FakeModule& m, const std::string& d) { m.options_.resource_list_file = d; },
       std::string(k_common_sig) + ": resource list file is not a regular file: " + dir()},
      {[](FakeModule& m, const std::string&) { m.options_.backup_type = 2; },
       std::string(k_common_sig) + ": you must define reference snapshot name (-s option)"},
      {[](FakeModule& m, const std::string&) { m.options_.backup_type = 3; },
       std::string(k_common_sig) + ": you must define reference snapshot name (-s option)"},
      {[](FakeModule& m, const std::string&) { m.options_.backup_type = 5; },
       std::string(k_common_sig) + ": wrong backup type: 5"},
  };
  for (const Case& c : cases) {
    auto module = make();
    c.change(*module, dir());
    std::string command;
    const size_t before = errors().size();
    EXPECT_FALSE(module->make_backup_cmd_common(command)) << c.error;
    ASSERT_EQ(errors().size(), before + 1);
    EXPECT_EQ(errors().back(), c.error);
  }
}

TEST_F(BackupCommand, TargetSignatureRestrictionsAndKey) {
  const std::string d = dir() + "/op";
  auto autonomous = make();
  autonomous->options_.autonomous = true;
  std::string command;
  ASSERT_TRUE(autonomous->compose_local_backup_command(command));
  EXPECT_EQ(command.substr(command.find(" -z None")),
            " -z None -n " + d + "/NAME.kvfd -m " + d + "/NAME.snap_dir/NAME.meta 2>&1");

  auto signed_backup = make();
  signed_backup->options_.dgst = true;
  ASSERT_TRUE(signed_backup->compose_local_backup_command(command));
  EXPECT_EQ(command.substr(command.find(" -m ")), " -m " + d + "/NAME.snap_dir/NAME.meta -g " + d +
                                                      "/NAME.signature --passin /opt/kelvanor/keys/master-key --sign "
                                                      "/opt/kelvanor/keys/secret-key.pem 2>&1");

  auto restricted = make();
  restricted->options_.local_restrictions = true;
  restricted->options_.restriction_list_path = dir() + "/restrictions";
  ASSERT_TRUE(restricted->compose_local_backup_command(command));
  EXPECT_EQ(command.find(" -X "), std::string::npos);  // no list file, nothing to pass on
  kv_test::write_file(dir() + "/restrictions", "/srv/a\n");
  ASSERT_TRUE(restricted->compose_local_backup_command(command));
  EXPECT_EQ(command.substr(command.find(" -m ")),
            " -m " + d + "/NAME.snap_dir/NAME.meta -X " + dir() + "/restrictions 2>&1");

  auto enciphered = make();
  enciphered->options_.crypto = "kuznyechik";
  enciphered->options_.key_file = dir() + "/key";
  kv_test::write_file(dir() + "/key", "k");
  ASSERT_TRUE(enciphered->compose_local_backup_command(command));
  EXPECT_EQ(command.substr(command.find(" -m ")),
            " -m " + d + "/NAME.snap_dir/NAME.meta -C kuznyechik -k " + dir() + "/key 2>&1");
  EXPECT_TRUE(errors().empty());
}

TEST_F(BackupCommand, MissingKeyFailsBeforeAnythingRuns) {
  auto no_key = make();
  no_key->options_.crypto = "kuznyechik";
  EXPECT_FALSE(no_key->make_backup_locally());
  EXPECT_EQ(errors(), std::vector<std::string>{"you must define key file"});

  auto missing_key = make();
  missing_key->options_.crypto = "kuznyechik";
  missing_key->options_.key_file = dir() + "/none.key";
  EXPECT_FALSE(missing_key->make_backup_locally());
  EXPECT_EQ(errors().back(), "there is no key file: " + dir() + "/none.key");
  EXPECT_FALSE(missing_key->backup_succeeded);
  EXPECT_EQ(missing_key->kvfd_pid, 0);
}

TEST_F(BackupCommand, NewlineInAPathFailsBeforeAnythingRuns) {
  auto module = make(dir() + "/op\nx");
  EXPECT_FALSE(module->make_backup_locally());
  ASSERT_EQ(errors().size(), 1u);
  EXPECT_EQ(errors()[0], std::string(k_local_sig) +
                             ": exception: a value holding a newline cannot be passed to a shell command: " + dir() +
                             "/op\\nx/NAME.kvfd.list");
}

TEST_F(BackupCommand, DataMoverGetsExactlyTheIntendedArguments) {
  const std::string d = dir() + "/my op's;dir";
  const std::string name = "vm 1;x";
  auto module = make(d, name);
  module->kvfd_flags = {{"worker_parallelism", "2"}};
  RecordingDataMover mover(dir());
  std::string command;
  ASSERT_TRUE(module->compose_local_backup_command(command));

  ASSERT_TRUE(module->run_local_backup_command(mover.in_place_of_kvfd(command)));
  EXPECT_EQ(mover.arguments(), (std::vector<std::string>{
                                   "-a", "sha2", "-2", "-b", "16384", "-c", d + "/" + name + ".kvfd.list",
                                   "-e", "worker_parallelism:2", "-x", k_keys, "-z", "None", "-M", "MEDIA",
                                   "-N", name, "-T", "TASK", "-s", "/opt/kelvanor/var/tasks//task_secret_TASK",
                                   "-m", d + "/" + name + ".snap_dir/" + name + ".meta"}));
  EXPECT_EQ(mover.working_directory(), "/\n");
  EXPECT_TRUE(module->backup_succeeded);
  EXPECT_FALSE(module->data_incomplete);
  EXPECT_NE(out().find("KVFD PID: "), std::string::npos);
  EXPECT_NE(out().find("Packed: 100%\n"), std::string::npos);
  EXPECT_TRUE(errors().empty());
}

TEST_F(BackupCommand, DataMoverRunsUnderUmask022AndLeaves077) {
  ::umask(002);
  auto module = make();
  RecordingDataMover mover(dir());
  std::string command;
  ASSERT_TRUE(module->compose_local_backup_command(command));
  ASSERT_TRUE(module->run_local_backup_command(mover.in_place_of_kvfd(command)));
  EXPECT_EQ(mover.umask(), "0022\n");
  EXPECT_EQ(current_umask(), 077u);
}

TEST_F(BackupCommand, FailedDataMoverIsReported) {
  auto module = make();
  RecordingDataMover mover(dir(), 1);
  std::string command;
  ASSERT_TRUE(module->compose_local_backup_command(command));
  command = mover.in_place_of_kvfd(command);
  EXPECT_FALSE(module->run_local_backup_command(command));
  EXPECT_FALSE(module->backup_succeeded);
  // Error lines reach the log with runs of blanks collapsed.
  std::string logged = command;
  boost::algorithm::replace_all(logged, "  ", " ");
  EXPECT_EQ(errors(), (std::vector<std::string>{std::string(k_local_sig) + ": " + logged,
                                                "kvfd out: some diagnostics"}));
  EXPECT_EQ(current_umask(), 077u);
}

TEST_F(BackupCommand, IncompleteDataIsSuccessWithTheFlag) {
  auto module = make();
  RecordingDataMover mover(dir(), 100);
  std::string command;
  ASSERT_TRUE(module->compose_local_backup_command(command));
  EXPECT_TRUE(module->run_local_backup_command(mover.in_place_of_kvfd(command)));
  EXPECT_TRUE(module->backup_succeeded);
  EXPECT_TRUE(module->data_incomplete);
}

TEST_F(BackupCommand, RemoteRoadIsNotAvailable) {
  auto module = make();
  module->options_.remote_host = "mover.example";
  EXPECT_FALSE(module->make_backup());
  EXPECT_FALSE(module->backup_succeeded);
}

// --- Closing ---

class CloseBackup : public BackupCommand {
 protected:
  // The snapshot directory as the data mover leaves it.
  static void fill_snapshot_directory(FakeModule& module) {
    fs::create_directories(module.leveldb_directory_path());
    kv_test::write_file(module.meta_filename(), "meta");
    kv_test::write_file(module.leveldb_directory_path() + "/000001.log", "leveldb");
  }
  static std::string snapshot_members(const FakeModule& module) {
    std::string listing;
    EXPECT_EQ(kv_utils_common::execute_command("/bin/tar tzf '" + module.snapshot_filename() + "'", listing), 0);
    return listing;
  }
};

TEST_F(CloseBackup, PacksAnswersAndCleans) {
  auto module = make();
  fill_snapshot_directory(*module);
  const std::string d = dir() + "/op";

  ASSERT_TRUE(module->close_backup(false));
  EXPECT_EQ(out(), "MAIN ARCHIVE FILENAME:" + d + "/NAME.snap\nMAIN SNAPSHOT FILENAME:" + d +
                       "/NAME.snap\nMAIN ARCHIVE SIGN FILENAME:" + d + "/NAME.signature\n");
  // The leveldb directory is dropped before packing; the meta file travels.
  const std::string members = snapshot_members(*module);
  EXPECT_NE(members.find("./NAME.meta"), std::string::npos) << members;
  EXPECT_EQ(members.find("leveldb"), std::string::npos) << members;
  EXPECT_FALSE(fs::exists(module->snapshot_directory_path()));
  EXPECT_EQ(log_at("Info").back(), "The task to make a full backup of resource 'vm' completed successfully");
  EXPECT_TRUE(module->calls.empty());  // no archiving asked for
}

TEST_F(CloseBackup, AutonomousBackupNamesItsStorageAndArchive) {
  auto module = make();
  module->options_.autonomous = true;
  module->selected_storage_type = 1;
  module->selected_storage_id = 5;
  fill_snapshot_directory(*module);
  const std::string d = dir() + "/op";
  ASSERT_TRUE(module->close_backup(false));
  EXPECT_EQ(out(), "CLIENT DEFINED STORAGE:local-directory@5\nMAIN ARCHIVE FILENAME:" + d +
                       "/NAME.kvfd\nMAIN SNAPSHOT FILENAME:" + d + "/NAME.snap\nMAIN ARCHIVE SIGN FILENAME:" + d +
                       "/NAME.kvfd.signature\n");
}

TEST_F(CloseBackup, ReferenceSnapshotIsRemoved) {
  auto module = make();
  fill_snapshot_directory(*module);
  module->options_.backup_type = 2;
  module->reference_snapshot_directory = dir() + "/op/old.snap_dir";
  fs::create_directories(module->reference_snapshot_directory);
  ASSERT_TRUE(module->close_backup(false));
  EXPECT_FALSE(fs::exists(module->reference_snapshot_directory));
  const auto info = log_at("Info");
  EXPECT_EQ(info[info.size() - 2], "Remove obsolete file: " + dir() + "/op/old.snap_dir");
  EXPECT_EQ(info.back(), "The task to make an incremental backup of resource 'vm' completed successfully");
}

TEST_F(CloseBackup, ArchivingOnlyWithCompleteData) {
  struct Case {
    bool archiving;
    bool supported;
    bool incomplete;
    bool archived;
  };
  for (const Case& c : {Case{true, true, false, true}, Case{true, false, false, false},
                        Case{false, true, false, false}, Case{true, true, true, false}}) {
    auto module = make();
    fill_snapshot_directory(*module);
    module->options_.archiving = c.archiving;
    module->options_.archiving_supported = c.supported;
    module->data_incomplete = c.incomplete;
    const size_t before = errors().size();
    EXPECT_TRUE(module->close_backup(false));
    EXPECT_EQ(module->calls, c.archived ? std::vector<std::string>{"make_archiving"} : std::vector<std::string>{});
    if (c.archiving && c.supported && c.incomplete) {
      ASSERT_EQ(errors().size(), before + 1);
      EXPECT_EQ(errors().back(), std::string(k_close_sig) +
                                     ": the data of the backup is incomplete, archiving skipped: the VM \"vm\" was kept");
    } else {
      EXPECT_EQ(errors().size(), before);
    }
  }
}

TEST_F(CloseBackup, SnapshotThatCannotBePackedFails) {
  auto module = make();
  EXPECT_FALSE(module->close_backup(false));
  EXPECT_EQ(errors().back(), std::string(k_close_sig) + ": can't create the main snapshot file:");
  EXPECT_EQ(out(), "");
}

TEST_F(CloseBackup, ListingOnlyWhenAskedForAndTheArchiveExists) {
  auto module = make();
  EXPECT_EQ(module->file_listing_command(),
            "/opt/kelvanor/bin/kvfd -l '" + dir() + "/op/NAME.snap_dir/NAME.meta' -v 1");
  // The main file of a non-autonomous backup is the snapshot file; for a replica there is no
  // listing at all. Neither case may start the data mover.
  module->file_list = true;
  fill_snapshot_directory(*module);
  ASSERT_TRUE(module->close_backup(true));
  EXPECT_EQ(out().find("FILE LISTING"), std::string::npos);

  auto autonomous = make();
  autonomous->options_.autonomous = true;
  autonomous->file_list = true;
  fill_snapshot_directory(*autonomous);
  ASSERT_TRUE(autonomous->close_backup(false));  // no archive file, no listing
  EXPECT_EQ(out().find("FILE LISTING"), std::string::npos);
}

TEST_F(CloseBackup, BackupKinds) {
  struct Case {
    uint32_t type;
    std::string line;
  };
  for (const Case& c : {Case{3, "The task to make a differential backup of resource 'vm' completed successfully"},
                        Case{7, "The task to make  backup of resource 'vm' completed successfully"}}) {
    auto module = make();
    fill_snapshot_directory(*module);
    module->options_.backup_type = c.type;
    ASSERT_TRUE(module->close_backup(false));
    EXPECT_EQ(log_at("Info").back(), c.line);
  }
}

}  // namespace
