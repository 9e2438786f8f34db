#include "tests/module/module_test_support.h"

#include "tests/support/temp_dir.h"

#include <boost/filesystem/operations.hpp>

#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>

using namespace module_test;
namespace fs = boost::filesystem;

namespace {

constexpr const char* k_restore_sig = "bool KvModuleUniversal::make_restore(const bool&)";

// The end-to-end restores pin the command line of a restore from the media server; these are the
// roads they do not take.
class RestoreCommand : public ModuleTest {
 protected:
  std::unique_ptr<FakeModule> make(const std::string& directory = "") {
    KvModuleOptions options;
    options.operation = Restore;
    options.tmp_operation_directory = directory.empty() ? dir() + "/op" : directory;
    options.record_id = "REC";
    options.media_server = "MEDIA";
    options.task_id = "TASK";
    options.unpacked_meta_file = dir() + "/op/old.snap_dir/old.meta";
    return std::make_unique<FakeModule>(options);
  }
};

TEST_F(RestoreCommand, RestoreDirectoryNames) {
  struct Case {
    bool autonomous;
    bool with_storage;
    std::string archive_name;
    std::string directory;  // in the operation directory
  };
  for (const Case& c : {Case{false, false, "vm1_FULL_2024.kvfd", "REC.rest"},
                        Case{true, false, "/store/vm1_FULL_2024.kvfd", "2024.rest"},
                        Case{true, false, "a_full_b_Full_c.kvfd", "b.rest"}, Case{true, false, "vm1_full_.kvfd", ".rest"},
                        Case{true, true, "vm1_full_2024.kvfd", "REC.rest"}}) {
    auto module = make();
    module->options_.autonomous = c.autonomous;
    module->options_.archive_name = c.archive_name;
    if (c.with_storage) module->client_defined_storages.push_back({1, 5, dir()});
    ASSERT_EQ(module->define_restore_directory(), 0) << c.archive_name;
    EXPECT_EQ(module->options_.tmp_operation_directory, dir() + "/op/" + c.directory);
    EXPECT_TRUE(fs::is_directory(dir() + "/op/" + c.directory)) << c.directory;
  }
}

TEST_F(RestoreCommand, ArchiveToPatchMustExist) {
  auto module = make();
  module->options_.archive_to_patch = "base";
  EXPECT_EQ(module->define_restore_directory(), 1);
  EXPECT_EQ(errors(), std::vector<std::string>{"virtual int KvModuleUniversal::define_restore_directory(): catalog "
                                               "'archive to patch' doesn't exist: " + dir() + "/op/base.rest"});
  EXPECT_FALSE(fs::exists(dir() + "/op"));
}

TEST_F(RestoreCommand, CommandLines) {
  const std::string head = "/opt/kelvanor/bin/kvfd -a sha2 -2  -b 16384";
  struct Case {
    std::function<void(FakeModule&)> change;
    bool replica;
    std::string command;
  };
  const std::vector<Case> cases = {
      {[](FakeModule& m) {
         m.options_.autonomous = true;
         m.options_.archive_name = "local-directory:5@/store/vm 1.kvfd";
         m.client_defined_storages.push_back({1, 5, "/store"});
       },
       false, head + " -r '/store/vm 1.kvfd' -d " + dir() + "/op 2>&1"},
      {[&](FakeModule& m) {
         m.options_.autonomous = true;
         m.options_.archive_name = "a.kvfd";
         m.options_.tmp_operation_directory = dir() + "/my op";
       },
       true, head + " -r a.kvfd -d '" + dir() + "/my op' -E  2>&1"},
  };
  for (const Case& c : cases) {
    auto module = make();
    c.change(*module);
    std::string command;
    ASSERT_TRUE(module->compose_restore_command(c.replica, command));
    EXPECT_EQ(command, c.command);
  }
  EXPECT_TRUE(errors().empty());
}

TEST_F(RestoreCommand, RefusalsAndTheDefaultStorage) {
  auto missing_key = make();
  missing_key->options_.crypto = "kuznyechik";
  missing_key->options_.key_file = dir() + "/none.key";
  EXPECT_FALSE(missing_key->make_restore(false));
  EXPECT_EQ(errors().back(), std::string(k_restore_sig) + ": there is no key file: " + dir() + "/none.key");

  auto s3 = make();
  s3->options_.autonomous = true;
  s3->options_.archive_name = "s3:5@a.kvfd";
  s3->client_defined_storages.push_back({2, 5, ""});
  EXPECT_FALSE(s3->make_restore(false));
  EXPECT_EQ(errors().back(), std::string(k_restore_sig) + ": unsupported client defined storage here: s3:5@a.kvfd");

  auto module_default = make();
  module_default->options_.autonomous = true;
  module_default->options_.archive_name = "default:3@vm1.kvfd";
  module_default->client_defined_storages.push_back({3, 3, ""});
  EXPECT_TRUE(module_default->make_restore(false));
  EXPECT_EQ(log_at("Info"), std::vector<std::string>{"Module default storage. Skipping kvfd run."});
  EXPECT_EQ(errors().size(), 2u);
}

TEST_F(RestoreCommand, RunReportsFailureAndOnlyARestoreSaysUnpacked) {
  auto module = make();
  EXPECT_FALSE(module->run_restore_command(false, "echo diagnostics; exit 1"));
  EXPECT_EQ(errors(), (std::vector<std::string>{std::string(k_restore_sig) + ": echo diagnostics; exit 1",
                                                "kvfd out: diagnostics"}));
  EXPECT_TRUE(module->run_restore_command(true, "exit 0"));
  EXPECT_TRUE(module->run_restore_command(false, "exit 0"));
  const auto info = log_at("Info");
  EXPECT_EQ(std::count_if(info.begin(), info.end(),
                          [](const std::string& line) { return line.find("has been unpacked") != std::string::npos; }),
            1);
  EXPECT_EQ(info.back(), "The archive 'REC' has been unpacked successfully");
}

TEST_F(RestoreCommand, ClosingRemovesOnlyTheLastRestoresOwnDirectory) {
  struct Case {
    KvModuleOperations operation;
    bool last;
    bool remove;
    bool defined;
    bool removed;
  };
  for (const Case& c : {Case{Restore, true, true, true, true}, Case{Restore, false, true, true, false},
                        Case{Restore, true, false, true, false}, Case{ApplyReplica, true, true, true, false},
                        Case{Restore, true, true, false, false}}) {
    auto module = make();
    module->options_.operation = c.operation;
    module->last = c.last;
    module->remove_tmp_dir = c.remove;
    if (c.defined) {
      ASSERT_EQ(module->define_restore_directory(), 0);
    }
    const std::string directory = module->options_.tmp_operation_directory;
    fs::create_directories(directory);
    kv_test::write_file(directory + "/disk", "image");
    module->close_restore();
    EXPECT_EQ(fs::exists(directory), !c.removed) << directory;
    fs::remove_all(dir() + "/op");
  }
}

// No operation calls the sparse check: one smoke row.
TEST_F(RestoreCommand, SparseRestoredFileIsReported) {
  auto module = make(dir());
  const std::string sparse = dir() + "/sparse";
  kv_test::write_file(sparse, "");
  ASSERT_EQ(::truncate(sparse.c_str(), 64 << 20), 0);
  EXPECT_EQ(module->check_file_to_restore_for_sparse(sparse), 7);
  ASSERT_EQ(errors().size(), 1u);
  EXPECT_NE(errors()[0].find("\" is a sparse file, i.e. it doesn't contain all the data required for restore."),
            std::string::npos);
}

}  // namespace
