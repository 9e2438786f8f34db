#include "tests/module/module_test_support.h"

#include "common/kv_utils_common.h"
#include "tests/support/temp_dir.h"

#include <boost/filesystem/operations.hpp>

#include <fstream>

using namespace module_test;
namespace fs = boost::filesystem;

namespace {

constexpr const char* k_unpack_sig = "int KvModuleUniversal::unpack_snapshot_file(const string&)";

class OperationFiles : public ModuleTest {
 protected:
  // A module whose operation directory is `directory` and whose archive is `name`.
  static std::unique_ptr<FakeModule> make(const std::string& directory, const std::string& name,
                                          bool autonomous = false) {
    KvModuleOptions options;
    options.operation = Backup;
    options.tmp_operation_directory = directory;
    options.archive_name = name;
    options.autonomous = autonomous;
    return std::make_unique<FakeModule>(options);
  }

  // Fills the snapshot directory of `module` as a data mover would and packs it.
  static void make_snapshot_file(FakeModule& module) {
    fs::create_directories(module.leveldb_directory_path());
    kv_test::write_file(module.meta_filename(), "meta of " + module.options_.archive_name);
    kv_test::write_file(module.leveldb_directory_path() + "/000001.log", "leveldb");
    ASSERT_EQ(module.pack_snapshot_file(), 0);
    ASSERT_TRUE(fs::is_regular_file(module.snapshot_filename()));
  }
};

TEST_F(OperationFiles, NamesFollowTheDirectoryAndTheArchiveName) {
  auto plain = make("/var/tmp/op", "vm1");
  EXPECT_EQ(plain->archive_filename(), "/var/tmp/op/vm1");
  EXPECT_EQ(plain->snapshot_filename(), "/var/tmp/op/vm1.snap");
  EXPECT_EQ(plain->snapshot_directory_path(), "/var/tmp/op/vm1.snap_dir");
  EXPECT_EQ(plain->leveldb_directory_path(), "/var/tmp/op/vm1.snap_dir/leveldb");
  EXPECT_EQ(plain->meta_filename(), "/var/tmp/op/vm1.snap_dir/vm1.meta");
  EXPECT_EQ(plain->archive_sign_filename(), "/var/tmp/op/vm1.signature");
  EXPECT_EQ(plain->reference_snapshot_directory_path(), "");

  auto autonomous = make("/var/tmp/op", "vm1", true);
  EXPECT_EQ(autonomous->archive_filename(), "/var/tmp/op/vm1.kvfd");
  EXPECT_EQ(autonomous->meta_filename(), "/var/tmp/op/vm1.snap_dir/vm1.meta");
  EXPECT_EQ(autonomous->archive_sign_filename(), "/var/tmp/op/vm1.kvfd.signature");
}

TEST_F(OperationFiles, TarCommandsQuoteOnlyWhatNeedsIt) {
  auto plain = make("/var/tmp/op", "vm1");
  EXPECT_EQ(plain->pack_snapshot_command(), "cd /var/tmp/op/vm1.snap_dir && /bin/tar czf /var/tmp/op/vm1.snap .");
  EXPECT_EQ(FakeModule::unpack_snapshot_command("/var/tmp/op/old.snap", "/var/tmp/op/old.snap_dir"),
            "/bin/tar xzf /var/tmp/op/old.snap -C /var/tmp/op/old.snap_dir");

  auto odd = make("/var/tmp/my op;x", "it's");
  EXPECT_EQ(odd->pack_snapshot_command(),
            "cd '/var/tmp/my op;x/it'\\''s.snap_dir' && /bin/tar czf '/var/tmp/my op;x/it'\\''s.snap' .");
}

TEST_F(OperationFiles, SnapshotRoundTripInADirectoryWithBlankQuoteAndSemicolon) {
  const std::string directory = dir() + "/my op's;dir";
  auto backup = make(directory, "vm1");
  make_snapshot_file(*backup);
  fs::remove_all(backup->snapshot_directory_path());

  auto next = make(directory, "vm1_incr");
  ASSERT_EQ(next->unpack_snapshot_file(backup->snapshot_filename()), 0);
  const std::string reference = directory + "/vm1.snap_dir";
  EXPECT_EQ(next->reference_snapshot_directory, reference);
  EXPECT_EQ(next->options_.unpacked_meta_file, reference + "/vm1.meta");
  EXPECT_EQ(kv_test::read_file(reference + "/vm1.meta"), "meta of vm1");
  EXPECT_EQ(kv_test::read_file(reference + "/leveldb/000001.log"), "leveldb");
  // Outside autonomous mode the client keeps its own copy; the unpacked one is obsolete.
  EXPECT_FALSE(fs::exists(backup->snapshot_filename()));
  EXPECT_EQ(log_at("Info"), std::vector<std::string>{"Removing obsolete snapshot file: " + backup->snapshot_filename()});
  EXPECT_TRUE(errors().empty());

  next->remove_reference_snapshot_directory();
  EXPECT_FALSE(fs::exists(reference));
  EXPECT_EQ(log_at("Info").back(), "Remove obsolete snapshot directory: " + reference);
}

TEST_F(OperationFiles, AutonomousModeKeepsTheSnapshotFile) {
  auto backup = make(dir(), "vm1", true);
  make_snapshot_file(*backup);
  auto next = make(dir() + "/next", "vm2", true);
  ASSERT_EQ(next->unpack_snapshot_file(backup->snapshot_filename()), 0);
  EXPECT_TRUE(fs::exists(backup->snapshot_filename()));
  EXPECT_EQ(next->options_.unpacked_meta_file, dir() + "/next/vm1.snap_dir/vm1.meta");
}

TEST_F(OperationFiles, UnpackingIntoTheRunningArchivesDirectoryReplacesIt) {
  auto backup = make(dir(), "vm1");
  make_snapshot_file(*backup);
  kv_test::write_file(backup->snapshot_directory_path() + "/stale", "x");
  ASSERT_EQ(backup->unpack_snapshot_file(backup->snapshot_filename()), 0);
  EXPECT_FALSE(fs::exists(backup->snapshot_directory_path() + "/stale"));
  EXPECT_TRUE(fs::exists(backup->meta_filename()));
  EXPECT_EQ(warnings(), std::vector<std::string>{std::string(k_unpack_sig) +
                                                 ": Removing already existing directory " +
                                                 backup->snapshot_directory_path()});
}

TEST_F(OperationFiles, BareMetaFileIsTakenAsItIs) {
  auto module = make(dir(), "vm1");
  ASSERT_EQ(module->unpack_snapshot_file("/nowhere/old.meta"), 0);
  EXPECT_EQ(module->options_.unpacked_meta_file, "/nowhere/old.meta");
  EXPECT_EQ(module->reference_snapshot_directory, "");
}

TEST_F(OperationFiles, OtherExtensionsAreRefused) {
  for (const std::string path : {"", "/var/tmp/op/old.tar", "/var/tmp/op/old"}) {
    auto module = make(dir(), "vm1");
    const size_t before = errors().size();
    EXPECT_EQ(module->unpack_snapshot_file(path), 12) << path;
    ASSERT_EQ(errors().size(), before + 1);
    EXPECT_EQ(errors().back(), "Invalid snapshot file extension: \"" + path + "\"");
  }
}

TEST_F(OperationFiles, SnapshotWithoutMetaFileFailsAfterExtraction) {
  const std::string content = dir() + "/content";
  fs::create_directories(content);
  kv_test::write_file(content + "/not-meta.txt", "x");
  std::string output;
  ASSERT_EQ(kv_utils_common::execute_command("cd " + content + " && /bin/tar czf " + dir() + "/old.snap .", output),
            0);

  auto module = make(dir(), "vm1");
  EXPECT_EQ(module->unpack_snapshot_file(dir() + "/old.snap"), 12);
  EXPECT_EQ(errors(), std::vector<std::string>{std::string(k_unpack_sig) + "Snapshot doesn't contain any metafile!"});
  EXPECT_FALSE(fs::exists(dir() + "/old.snap"));
  EXPECT_TRUE(fs::exists(dir() + "/old.snap_dir/not-meta.txt"));
}

TEST_F(OperationFiles, DamagedSnapshotFailsAndKeepsTheFile) {
  kv_test::write_file(dir() + "/old.snap", "not a tar file");
  auto module = make(dir(), "vm1");
  EXPECT_EQ(module->unpack_snapshot_file(dir() + "/old.snap"), 12);
  ASSERT_EQ(errors().size(), 1u);
  EXPECT_EQ(errors()[0].rfind(std::string(k_unpack_sig) + ": command: '/bin/tar xzf " + dir() + "/old.snap -C " +
                                  dir() + "/old.snap_dir' returned code: 2 result: ",
                              0),
            0u)
      << errors()[0];
  EXPECT_TRUE(fs::exists(dir() + "/old.snap"));
}

TEST_F(OperationFiles, PackingAMissingDirectoryFails) {
  auto module = make(dir(), "vm1");
  EXPECT_EQ(module->pack_snapshot_file(), 12);
  ASSERT_EQ(errors().size(), 1u);
  EXPECT_EQ(errors()[0].rfind("Unable to pack snapshot file:", 0), 0u);
  EXPECT_FALSE(fs::exists(module->snapshot_filename()));
}

TEST_F(OperationFiles, NewlineInThePathsFailsWithAnErrorLine) {
  auto module = make(dir() + "/a\nb", "vm1");
  EXPECT_EQ(module->pack_snapshot_file(), 12);
  ASSERT_EQ(errors().size(), 1u);
  EXPECT_EQ(errors()[0].rfind("int KvModuleUniversal::pack_snapshot_file() const: a value holding a newline cannot be "
                              "passed to a shell command: " + dir() + "/a\\nb/vm1.snap",
                              0),
            0u);

  auto other = make(dir(), "vm1");
  EXPECT_EQ(other->unpack_snapshot_file(dir() + "/x\ny.snap"), 12);
  EXPECT_EQ(errors().back().rfind(std::string(k_unpack_sig) + ": a value holding a newline", 0), 0u);
}

TEST_F(OperationFiles, RemovingWithoutAnUnpackedSnapshotDoesNothing) {
  auto module = make(dir(), "vm1");
  module->remove_reference_snapshot_directory();
  EXPECT_TRUE(log().empty());
  EXPECT_TRUE(fs::exists(dir()));
}

}  // namespace
