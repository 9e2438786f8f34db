#include "tests/module/module_test_support.h"

#include "tests/support/temp_dir.h"

using namespace module_test;

namespace {

TEST_F(ModuleTest, BaseOperationsAnswerForEveryModule) {
  FakeModule module;
  module.list_restore_parameters();
  EXPECT_EQ(out(), "");
  EXPECT_EQ(module.get_config_option_presence_type("url"), 0);
  EXPECT_EQ(module.resolve_config_option_merge_conflict("url", "http://old"), "http://old");
  for (uint32_t value = 0; value <= 21; ++value) {
    const auto operation = static_cast<KvModuleOperations>(value);
    EXPECT_EQ(module.need_esign_for_operation(operation), operation == VerifyInClientDefinedStorage) << value;
  }
  std::string major_minor, patch, build;
  EXPECT_EQ(split_full_version("2.1.0.76b6ede", major_minor, patch, build), 0);
  EXPECT_EQ(major_minor + "|" + patch + "|" + build, "2.1|0|76b6ede");
  EXPECT_EQ(split_full_version("2", major_minor, patch, build), 0);
  EXPECT_EQ(major_minor + "|" + patch + "|" + build, "2.||");
}

TEST_F(ModuleTest, ShutdownReleasesOnlyWhatABackupHolds) {
  for (const auto& [operation, calls] : std::vector<std::pair<KvModuleOperations, std::string>>{
           {Backup, "release"}, {CreateReplica, "release"}, {ApplyReplica, ""}, {CheckClient, ""}}) {
    FakeModule module;
    module.options_.operation = operation;
    module.options_.tmp_operation_directory = dir();
    module.handle_shutdown_signal();
    EXPECT_TRUE(module.shutdown_requested);
    EXPECT_EQ(module.calls, calls.empty() ? std::vector<std::string>{} : std::vector<std::string>{calls}) << operation;
  }
  EXPECT_TRUE(boost::filesystem::is_directory(dir()));
}

// A stopped restore removes its own directory only, never the client's folder around it, and
// nothing when told to keep it.
TEST_F(ModuleTest, ShutdownDuringARestoreRemovesOnlyTheRestoreDirectory) {
  kv_test::write_file(dir() + "/op/client-file", "data");
  FakeModule module;
  module.options_.operation = Restore;
  module.options_.tmp_operation_directory = dir() + "/op";
  module.options_.record_id = "rec";
  module.handle_shutdown_signal();  // before the restore directory is chosen
  EXPECT_TRUE(log_at("Info").empty());

  ASSERT_EQ(module.define_restore_directory(), 0);
  const std::string restore_directory = dir() + "/op/rec.rest";
  kv_test::write_file(restore_directory + "/disk/image", "data");
  module.remove_tmp_dir = false;
  module.handle_shutdown_signal();
  EXPECT_TRUE(boost::filesystem::exists(restore_directory));

  module.remove_tmp_dir = true;
  module.handle_shutdown_signal();
  EXPECT_FALSE(boost::filesystem::exists(restore_directory));
  EXPECT_TRUE(boost::filesystem::exists(dir() + "/op/client-file"));
  EXPECT_EQ(log_at("Info"), std::vector<std::string>{"Remove temporary operation directory: " + restore_directory});
}

}  // namespace
