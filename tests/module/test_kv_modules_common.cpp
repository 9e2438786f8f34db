#include "tests/module/module_test_support.h"

#include <fstream>

using namespace module_test;

namespace {

TEST_F(ModuleTest, ConstructorCopiesTheOptionsAndSetsTheDefaults) {
  KvModuleOptions options;
  options.program_path = k_program;
  options.dedup_supported = true;
  FakeModule module(options);

  EXPECT_EQ(module.options_.program_path, k_program);
  EXPECT_TRUE(module.options_.dedup_supported);
  EXPECT_EQ(module.kvfd_flag_names, (std::vector<std::string>{"worker_parallelism", "network_parallelism",
                                                              "enable_multithreading", "enable_flexible_dedup"}));
  EXPECT_EQ(module.kvd_hash_algorithm, "sha2");
  EXPECT_EQ(module.kvd_hash_length, 256);
  EXPECT_EQ(module.kvd_block_size, 16384);
  EXPECT_TRUE(module.ignore_errors_snapshot);
  EXPECT_TRUE(module.remove_tmp_dir);
  EXPECT_EQ(module.snapshot_size, 10);
  EXPECT_EQ(module.kvfd_pid, 0);
  EXPECT_EQ(module.signal_handler, nullptr);
  EXPECT_FALSE(module.is_OS_snapshot_using());
  EXPECT_EQ(module.get_OS_snapshot_type(), "");
}

TEST_F(ModuleTest, DefaultOptionsMatchAnEmptyCommandLine) {
  const KvModuleOptions options;
  EXPECT_EQ(options.operation, OperationNone);
  EXPECT_EQ(options.backup_type, 1u);
  EXPECT_EQ(options.compress, 1);
  EXPECT_EQ(options.crypto, "nocrypt");
  EXPECT_EQ(options.parallelism, 1u);
  EXPECT_EQ(options.remote_user, "root");
  EXPECT_TRUE(options.resource_list.is_empty());
}

TEST_F(ModuleTest, BaseOperationsAnswerForEveryModule) {
  FakeModule module;
  module.list_restore_parameters();
  EXPECT_EQ(out(), "");
  for (int type : {1, 2, 3}) EXPECT_FALSE(module.check_supported_client_defined_storage(type));
  EXPECT_EQ(module.get_config_option_presence_type("url"), 0);
  EXPECT_EQ(module.resolve_config_option_merge_conflict("url", "http://old"), "http://old");
  for (uint32_t value = 0; value <= 21; ++value) {
    const auto operation = static_cast<KvModuleOperations>(value);
    EXPECT_EQ(module.need_esign_for_operation(operation), operation == VerifyInClientDefinedStorage) << value;
  }
}

struct ShutdownCase {
  KvModuleOperations operation;
  bool releases;
};

class ShutdownHook : public ModuleTest, public ::testing::WithParamInterface<ShutdownCase> {};

TEST_P(ShutdownHook, ReleasesOnlyWhatABackupHolds) {
  FakeModule module;
  module.options_.operation = GetParam().operation;
  module.options_.tmp_operation_directory = dir();
  module.handle_shutdown_signal();
  EXPECT_TRUE(module.shutdown_requested);
  EXPECT_EQ(module.calls, GetParam().releases ? std::vector<std::string>{"release"} : std::vector<std::string>{});
  EXPECT_TRUE(boost::filesystem::is_directory(dir()));
}

INSTANTIATE_TEST_SUITE_P(All, ShutdownHook,
                         ::testing::Values(ShutdownCase{Backup, true}, ShutdownCase{BackupList, true},
                                           ShutdownCase{CreateReplica, true}, ShutdownCase{ApplyReplica, false},
                                           ShutdownCase{CheckClient, false}, ShutdownCase{OperationNone, false}));

TEST_F(ModuleTest, ShutdownDuringARestoreRemovesTheRestoreDirectory) {
  FakeModule module;
  module.options_.operation = Restore;
  module.options_.tmp_operation_directory = dir() + "/op";
  module.options_.record_id = "rec";
  ASSERT_EQ(module.define_restore_directory(), 0);
  const std::string restore_directory = dir() + "/op/rec.rest";
  ASSERT_EQ(module.options_.tmp_operation_directory, restore_directory);
  boost::filesystem::create_directories(restore_directory + "/disk");
  std::ofstream(restore_directory + "/disk/image") << "data";

  module.handle_shutdown_signal();

  EXPECT_FALSE(boost::filesystem::exists(restore_directory));
  EXPECT_TRUE(boost::filesystem::exists(dir() + "/op"));
  EXPECT_EQ(log_at("Info"), std::vector<std::string>{"Remove temporary operation directory: " + restore_directory});
  EXPECT_EQ(module.calls, std::vector<std::string>{"define_restore_directory"});  // nothing else of the module
}

TEST_F(ModuleTest, ShutdownBeforeTheRestoreDirectoryIsChosenKeepsTheClientsDirectory) {
  std::ofstream(dir() + "/client-file") << "data";
  FakeModule module;
  module.options_.operation = Restore;
  module.options_.tmp_operation_directory = dir();
  module.handle_shutdown_signal();
  EXPECT_TRUE(module.shutdown_requested);
  EXPECT_TRUE(boost::filesystem::exists(dir() + "/client-file"));
  EXPECT_TRUE(log_at("Info").empty());
}

TEST_F(ModuleTest, ShutdownDuringARestoreKeepsTheDirectoryWhenAskedTo) {
  FakeModule module;
  module.options_.operation = Restore;
  module.options_.tmp_operation_directory = dir();
  module.options_.record_id = "rec";
  ASSERT_EQ(module.define_restore_directory(), 0);
  module.remove_tmp_dir = false;
  module.handle_shutdown_signal();
  EXPECT_TRUE(boost::filesystem::is_directory(dir() + "/rec.rest"));
  EXPECT_TRUE(log_at("Info").empty());
}

struct VersionCase {
  std::string full;
  std::string major_minor;
  std::string patch;
  std::string build;
};

class SplitFullVersion : public ::testing::TestWithParam<VersionCase> {};

TEST_P(SplitFullVersion, TakesTheFirstFourPieces) {
  std::string major_minor = "x", patch = "x", build = "x";
  EXPECT_EQ(split_full_version(GetParam().full, major_minor, patch, build), 0);
  EXPECT_EQ(major_minor, GetParam().major_minor);
  EXPECT_EQ(patch, GetParam().patch);
  EXPECT_EQ(build, GetParam().build);
}

INSTANTIATE_TEST_SUITE_P(All, SplitFullVersion,
                         ::testing::Values(VersionCase{"2.1.0.76b6ede", "2.1", "0", "76b6ede"},
                                           VersionCase{"2", "2.", "", ""}, VersionCase{"2.1", "2.1", "", ""},
                                           VersionCase{"1.2.3.4.5", "1.2", "3", "4"}, VersionCase{"", ".", "", ""},
                                           VersionCase{"..", ".", "", ""}));

}  // namespace
