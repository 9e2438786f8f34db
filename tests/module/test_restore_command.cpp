#include "tests/module/module_test_support.h"
#include "tests/module/recording_data_mover.h"

#include "tests/support/temp_dir.h"

#include <boost/algorithm/string/replace.hpp>
#include <boost/filesystem/operations.hpp>

#include <unistd.h>

#include <string>

using namespace module_test;
namespace fs = boost::filesystem;

namespace {

constexpr const char* k_define_sig = "virtual int KvModuleUniversal::define_restore_directory()";
constexpr const char* k_restore_sig = "bool KvModuleUniversal::make_restore(const bool&)";

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

struct DirectoryCase {
  bool autonomous;
  bool with_storage;
  std::string archive_name;
  std::string directory;  // relative to the operation directory
};

TEST_F(RestoreCommand, RestoreDirectoryNames) {
  for (const DirectoryCase& c : {DirectoryCase{false, false, "vm1_FULL_2024.kvfd", "REC.rest"},
                                 DirectoryCase{true, false, "vm1_FULL_2024.kvfd", "2024.rest"},
                                 DirectoryCase{true, false, "/store/vm1.kvfd", "vm1.rest"},
                                 DirectoryCase{true, false, "vm1_full_.kvfd", ".rest"},
                                 DirectoryCase{true, false, "a_full_b_Full_c.kvfd", "b.rest"},
                                 DirectoryCase{true, true, "vm1_full_2024.kvfd", "REC.rest"}}) {
    auto module = make();
    module->options_.autonomous = c.autonomous;
    module->options_.archive_name = c.archive_name;
    if (c.with_storage) module->client_defined_storages.push_back({1, 5, dir()});
    ASSERT_EQ(module->define_restore_directory(), 0) << c.archive_name;
    const std::string expected = dir() + "/op/" + c.directory;
    EXPECT_EQ(module->options_.tmp_operation_directory, expected);
    EXPECT_EQ(module->restore_directory, expected);
    EXPECT_TRUE(fs::is_directory(expected)) << expected;
  }
  EXPECT_TRUE(errors().empty());
}

TEST_F(RestoreCommand, ArchiveToPatchMustExist) {
  auto missing = make();
  missing->options_.archive_to_patch = "base";
  EXPECT_EQ(missing->define_restore_directory(), 1);
  EXPECT_EQ(errors(), std::vector<std::string>{std::string(k_define_sig) +
                                               ": catalog 'archive to patch' doesn't exist: " + dir() +
                                               "/op/base.rest"});
  EXPECT_FALSE(fs::exists(dir() + "/op"));
  EXPECT_EQ(missing->restore_directory, "");

  fs::create_directories(dir() + "/op/base.rest");
  auto present = make();
  present->options_.archive_to_patch = "base";
  EXPECT_EQ(present->define_restore_directory(), 0);
  EXPECT_EQ(present->options_.tmp_operation_directory, dir() + "/op/base.rest");
  EXPECT_EQ(present->restore_directory, dir() + "/op/base.rest");
}

TEST_F(RestoreCommand, CommandLines) {
  const std::string d = dir() + "/op";
  const std::string meta = d + "/old.snap_dir/old.meta";
  const std::string head = "/opt/kelvanor/bin/kvfd -a sha2 -2  -b 16384";
  std::string command;

  auto plain = make();
  ASSERT_TRUE(plain->compose_restore_command(false, command));
  EXPECT_EQ(command, head + " -R REC -M MEDIA -T TASK -s /opt/kelvanor/var/tasks//task_secret_TASK -m " + meta +
                         " -d " + d + " 2>&1");

  auto autonomous = make();
  autonomous->options_.autonomous = true;
  autonomous->options_.archive_name = "/store/vm1_full_2024.kvfd";
  autonomous->kvd_hash_length = 512;
  ASSERT_TRUE(autonomous->compose_restore_command(false, command));
  EXPECT_EQ(command, "/opt/kelvanor/bin/kvfd -a sha2 -5  -b 16384 -r /store/vm1_full_2024.kvfd -d " + d + " 2>&1");

  auto everything = make();
  everything->options_.autonomous = true;
  everything->options_.archive_name = "a.kvfd";
  everything->options_.crypto = "kuznyechik";
  everything->options_.key_file = dir() + "/key";
  kv_test::write_file(dir() + "/key", "k");
  everything->options_.parallelism = 4;
  everything->options_.granular_list = "/etc/hosts,/etc/fstab";
  everything->options_.set_to_numeric = true;
  everything->kvfd_flags = {{"network_parallelism", "2"}};
  ASSERT_TRUE(everything->compose_restore_command(true, command));
  EXPECT_EQ(command, head + " -r a.kvfd -d " + d + " -C kuznyechik -k " + dir() +
                         "/key -E  -p 4 -f /etc/hosts,/etc/fstab --set-to-numeric -e network_parallelism:2 2>&1");

  auto local = make();
  local->options_.autonomous = true;
  local->options_.archive_name = "local-directory:5@/store/vm1.kvfd";
  local->client_defined_storages.push_back({1, 5, "/store"});
  ASSERT_TRUE(local->compose_restore_command(false, command));
  EXPECT_EQ(command, head + " -r /store/vm1.kvfd -d " + d + " 2>&1");
  EXPECT_EQ(log_at("Info").back(), "Rename restored object to: /store/vm1.kvfd");

  auto blanks = make(dir() + "/my op");
  blanks->options_.unpacked_meta_file = "/m/old.meta";
  ASSERT_TRUE(blanks->compose_restore_command(false, command));
  EXPECT_EQ(command.substr(command.find(" -m ")), " -m /m/old.meta -d '" + dir() + "/my op' 2>&1");
  EXPECT_TRUE(errors().empty());
}

TEST_F(RestoreCommand, RefusalsBeforeAnythingRuns) {
  auto no_key = make();
  no_key->options_.crypto = "kuznyechik";
  EXPECT_FALSE(no_key->make_restore(false));
  EXPECT_EQ(errors().back(), std::string(k_restore_sig) + ": you must define key file");

  auto missing_key = make();
  missing_key->options_.crypto = "kuznyechik";
  missing_key->options_.key_file = dir() + "/none.key";
  EXPECT_FALSE(missing_key->make_restore(false));
  EXPECT_EQ(errors().back(), std::string(k_restore_sig) + ": there is no key file: " + dir() + "/none.key");

  for (const std::string name : {"s3:5@a.kvfd", "a.kvfd"}) {
    auto storage = make();
    storage->options_.autonomous = true;
    storage->options_.archive_name = name;
    storage->client_defined_storages.push_back({1, 5, dir()});
    EXPECT_FALSE(storage->make_restore(false));
    EXPECT_EQ(errors().back(), std::string(k_restore_sig) + ": unsupported client defined storage here: " + name);
  }

  auto newline = make();
  newline->options_.record_id = "REC\necho injected";
  EXPECT_FALSE(newline->make_restore(false));
  EXPECT_EQ(errors().back(), std::string(k_restore_sig) +
                                 ": std exception: a value holding a newline cannot be passed to a shell command: "
                                 "REC\\necho injected");
}

TEST_F(RestoreCommand, DataMoverGetsExactlyTheIntendedArguments) {
  const std::string d = dir() + "/my op's;dir";
  auto module = make(d);
  module->options_.record_id = "rec 1;'x";
  ASSERT_EQ(module->define_restore_directory(), 0);
  const std::string restore_directory = d + "/rec 1;'x.rest";
  ASSERT_TRUE(fs::is_directory(restore_directory));

  RecordingDataMover mover(dir());
  std::string command;
  ASSERT_TRUE(module->compose_restore_command(false, command));
  ASSERT_TRUE(module->run_restore_command(false, mover.in_place_of_kvfd(command)));
  EXPECT_EQ(mover.arguments(),
            (std::vector<std::string>{"-a", "sha2", "-2", "-b", "16384", "-R", "rec 1;'x", "-M", "MEDIA", "-T", "TASK",
                                      "-s", "/opt/kelvanor/var/tasks//task_secret_TASK", "-m",
                                      dir() + "/op/old.snap_dir/old.meta", "-d", restore_directory}));
  EXPECT_EQ(log_at("Info").back(), "The archive 'rec 1;'x' has been unpacked successfully");
}

TEST_F(RestoreCommand, ModuleDefaultStorageRunsNoDataMover) {
  auto module = make();
  module->options_.autonomous = true;
  module->options_.archive_name = "default:3@vm1.kvfd";
  module->client_defined_storages.push_back({3, 3, ""});
  EXPECT_TRUE(module->make_restore(false));
  EXPECT_EQ(log_at("Info"), std::vector<std::string>{"Module default storage. Skipping kvfd run."});
  EXPECT_TRUE(errors().empty());
}

TEST_F(RestoreCommand, ReplicaRunWritesNoUnpackedLine) {
  auto module = make();
  RecordingDataMover mover(dir());
  std::string command;
  ASSERT_TRUE(module->compose_restore_command(true, command));
  ASSERT_TRUE(module->run_restore_command(true, mover.in_place_of_kvfd(command)));
  EXPECT_EQ(mover.arguments().back(), "-E");
  for (const auto& line : log_at("Info")) EXPECT_EQ(line.find("has been unpacked"), std::string::npos) << line;
}

TEST_F(RestoreCommand, FailedDataMoverIsReported) {
  auto module = make();
  RecordingDataMover mover(dir(), 1);
  std::string command;
  ASSERT_TRUE(module->compose_restore_command(false, command));
  command = mover.in_place_of_kvfd(command);
  EXPECT_FALSE(module->run_restore_command(false, command));
  boost::algorithm::replace_all(command, "  ", " ");  // as error lines reach the log
  EXPECT_EQ(errors(), (std::vector<std::string>{std::string(k_restore_sig) + ": " + command,
                                                "kvfd out: some diagnostics"}));
}

TEST_F(RestoreCommand, ClosingRemovesOnlyTheLastRestoresDirectory) {
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
    } else {
      fs::create_directories(module->options_.tmp_operation_directory);
    }
    const std::string directory = module->options_.tmp_operation_directory;
    kv_test::write_file(directory + "/disk", "image");
    module->close_restore();
    EXPECT_EQ(fs::exists(directory), !c.removed) << directory;
    if (c.removed) {
      EXPECT_EQ(log_at("Info").back(), "Remove temporary operation directory: " + directory);
    }
    fs::remove_all(dir() + "/op");
  }
}

TEST_F(RestoreCommand, ClosingRemovesTheReferenceSnapshot) {
  auto module = make();
  module->reference_snapshot_directory = dir() + "/op/old.snap_dir";
  fs::create_directories(module->reference_snapshot_directory);
  module->close_restore();
  EXPECT_FALSE(fs::exists(dir() + "/op/old.snap_dir"));
}

TEST_F(RestoreCommand, SparseRestoredFileIsReported) {
  constexpr const char* sig = "int KvModuleUniversal::check_file_to_restore_for_sparse(const string&) const";
  auto module = make(dir());
  const std::string whole = dir() + "/whole";
  kv_test::write_file(whole, std::string(8192, 'x'));
  EXPECT_EQ(module->check_file_to_restore_for_sparse(whole), 0);

  EXPECT_EQ(module->check_file_to_restore_for_sparse(dir() + "/missing"), 0);
  EXPECT_EQ(warnings(), std::vector<std::string>{std::string(sig) + ": unable to check sparse status of \"" + dir() +
                                                 "/missing\" file, error: No such file or directory"});

  const std::string sparse = dir() + "/sparse";
  kv_test::write_file(sparse, "");
  ASSERT_EQ(::truncate(sparse.c_str(), 64 << 20), 0);
  EXPECT_EQ(module->check_file_to_restore_for_sparse(sparse), 7);
  ASSERT_EQ(errors().size(), 1u);
  const std::string line = errors()[0];
  EXPECT_EQ(line.rfind(std::string(sig) + ": file \"" + sparse +
                           "\" is a sparse file, i.e. it doesn't contain all the data required for restore. Probably it "
                           "is not enough free space in a \"" + dir() + "\" folder. Free space is: ",
                       0),
            0u)
      << line;
  EXPECT_EQ(line.back(), '%');
}

}  // namespace
