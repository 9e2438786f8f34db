#include "tests/module/module_test_support.h"
#include "module/operation_files.h"

#include "common/kv_utils_common.h"
#include "common/private_file.h"
#include "tests/support/temp_dir.h"

#include <boost/filesystem/operations.hpp>

using namespace module_test;
namespace fs = boost::filesystem;

namespace {

constexpr const char* k_unpack_sig = "int KvModuleUniversal::unpack_snapshot_file(const string&)";

class OperationFiles : public ModuleTest {
 protected:
  static std::unique_ptr<FakeModule> make(const std::string& directory, const std::string& name,
                                          bool autonomous = false) {
    KvModuleOptions options;
    options.operation = Backup;
    options.tmp_operation_directory = directory;
    options.archive_name = name;
    options.autonomous = autonomous;
    return std::make_unique<FakeModule>(options);
  }

  // A snapshot file at `path` holding `members` (name, content), packed from inside a folder.
  void write_snapshot(const std::string& path, const std::vector<std::pair<std::string, std::string>>& members) {
    const std::string content = dir() + "/content";
    fs::remove_all(content);
    for (const auto& [name, text] : members) kv_test::write_file(content + "/" + name, text);
    std::string output;
    ASSERT_EQ(kv_utils_common::execute_command("cd '" + content + "' && /bin/tar czf '" + path + "' .", output), 0);
  }
};

TEST_F(OperationFiles, ArchiveNameOfAnAutonomousBackup) {
  EXPECT_EQ(make("/var/tmp/op", "vm1", true)->archive_filename(), "/var/tmp/op/vm1.kvfd");
  EXPECT_EQ(make("/var/tmp/op", "vm1")->archive_filename(), "/var/tmp/op/vm1");
}

TEST_F(OperationFiles, SnapshotRoundTripInADirectoryWithBlankQuoteAndSemicolon) {
  for (bool autonomous : {false, true}) {
    const std::string directory = dir() + (autonomous ? "/auto" : "/my op's;dir");
    auto backup = make(directory, "vm1", autonomous);
    fs::create_directories(backup->leveldb_directory_path());
    kv_test::write_file(backup->meta_filename(), "meta of vm1");
    kv_test::write_file(backup->leveldb_directory_path() + "/000001.log", "leveldb");
    ASSERT_EQ(backup->pack_snapshot_file(), 0);
    fs::remove_all(backup->snapshot_directory_path());

    auto next = make(directory, "vm1_incr", autonomous);
    ASSERT_EQ(next->unpack_snapshot_file(backup->snapshot_filename()), 0);
    const std::string reference = directory + "/vm1.snap_dir";
    EXPECT_EQ(next->options_.unpacked_meta_file, reference + "/vm1.meta");
    EXPECT_EQ(kv_test::read_file(reference + "/vm1.meta"), "meta of vm1");
    EXPECT_EQ(kv_test::read_file(reference + "/leveldb/000001.log"), "leveldb");
    // In autonomous mode the snapshot file is the client's own copy; otherwise it is obsolete.
    EXPECT_EQ(fs::exists(backup->snapshot_filename()), autonomous);
    next->remove_reference_snapshot_directory();
    EXPECT_FALSE(fs::exists(reference));
  }
  EXPECT_TRUE(errors().empty());
}

TEST_F(OperationFiles, UnpackingIntoTheRunningArchivesDirectoryReplacesIt) {
  auto module = make(dir(), "vm1");
  write_snapshot(dir() + "/vm1.snap", {{"vm1.meta", "meta"}});
  kv_test::write_file(module->snapshot_directory_path() + "/stale", "x");
  ASSERT_EQ(module->unpack_snapshot_file(dir() + "/vm1.snap"), 0);
  EXPECT_FALSE(fs::exists(module->snapshot_directory_path() + "/stale"));
  EXPECT_EQ(module->options_.unpacked_meta_file, module->meta_filename());
}

// A working folder an earlier run left with a mode that lets others in is made private again.
TEST_F(OperationFiles, AFolderLeftWithALooseModeIsMadePrivate) {
  const std::string folder = dir() + "/vm1.snap_dir";
  fs::create_directory(folder);
  fs::permissions(folder, fs::perms(0777));
  kv_utils_common::make_private_directory(folder);
  EXPECT_EQ(fs::status(folder).permissions(), fs::perms(0700));
}

TEST_F(OperationFiles, FailuresGiveTwelve) {
  auto module = make(dir(), "vm1");
  ASSERT_EQ(module->unpack_snapshot_file("/nowhere/old.meta"), 0);  // a bare meta file is taken as it is
  EXPECT_EQ(module->options_.unpacked_meta_file, "/nowhere/old.meta");
  EXPECT_EQ(module->unpack_snapshot_file("/var/tmp/op/old.tar"), 12);
  EXPECT_EQ(errors().back(), "Invalid snapshot file extension: \"/var/tmp/op/old.tar\"");

  write_snapshot(dir() + "/old.snap", {{"not-meta.txt", "x"}});
  EXPECT_EQ(module->unpack_snapshot_file(dir() + "/old.snap"), 12);
  EXPECT_EQ(errors().back(), std::string(k_unpack_sig) + "Snapshot doesn't contain any metafile!");
  EXPECT_FALSE(fs::exists(dir() + "/old.snap"));

  kv_test::write_file(dir() + "/bad.snap", "not a tar file");
  EXPECT_EQ(module->unpack_snapshot_file(dir() + "/bad.snap"), 12);
  EXPECT_EQ(errors().back().rfind(std::string(k_unpack_sig) + ": command: '/bin/tar xzf " + dir() + "/bad.snap -C " +
                                      dir() + "/bad.snap_dir' returned code: 2 result: ",
                                  0),
            0u)
      << errors().back();
  EXPECT_TRUE(fs::exists(dir() + "/bad.snap"));
  EXPECT_EQ(errors().size(), 3u);
}

// Only meta files at the top of the snapshot are unpacked, each named once as tar listed it.
TEST(TopLevelMetaMembers, OnlyMetaFilesAtTheTopOfTheListing) {
  using namespace std::string_literals;
  const std::string listing = "./\n./vm1.meta\n./leveldb/\n./leveldb/x.meta\ntar: ./a.meta: Cannot stat\n"
                              "./vm1.meta\nold.meta\n./vm2.meta\0\0\n./vm3\0.meta\n"s;
  EXPECT_EQ(kelvanor::module::top_level_meta_members(listing), (std::vector<std::string>{"./vm1.meta", "old.meta"}));
}

}  // namespace
