// The run's files in the operation folder are its own: made anew, readable by their owner only,
// and neither they nor its working folders are written through whatever someone else put under
// their names beforehand.
#include "tests/e2e/backup_road.h"

#include "common/private_file.h"

#include <boost/filesystem.hpp>

#include <map>
#include <ostream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace kv_test {
namespace {

struct Planted {
  // "symlink", "symlink to a folder", "hard link", "file of nobody", or "symlink as tar starts"
  // (by someone watching for the tar command); empty: nothing
  std::string kind;
  std::string name;  // the run's file or folder under whose name it is put
  int status = 6;    // the run's exit status
  bool restore = false;  // a restore of the record "rec" instead of a backup
};

void PrintTo(const Planted& c, std::ostream* out) { *out << (c.kind.empty() ? "nothing" : c.kind + " at " + c.name); }

class PlantedName : public BackupRoad, public ::testing::WithParamInterface<Planted> {};

TEST_P(PlantedName, IsLeftAloneAndTheRunsFilesAreItsOwnersAlone) {
  const Planted& c = GetParam();
  const mode_t umask_before = ::umask(022);  // the client's usual umask
  const std::string target = sandbox.scratch("target");
  write_file(target, "untouched\n");
  const std::string target_folder = sandbox.scratch("target_folder");
  boost::filesystem::create_directory(target_folder);
  if (c.restore) {
    const std::vector<SavedDisk> disks = {{"d15c0076-0000-4000-8000-000000000076", "web-data", "vdb", true, "data"}};
    store_backup("rec", saved_vm(k_source_vm, "web", disks, false), disks);
    boost::filesystem::create_directories(operation_directory());
  }
  const std::string planted = (c.restore ? operation_directory() : operation_dir()) + "/" + c.name;
  if (c.kind == "symlink") boost::filesystem::create_symlink(target, planted);
  if (c.kind == "symlink to a folder") boost::filesystem::create_symlink(target_folder, planted);
  if (c.kind == "hard link") boost::filesystem::create_hard_link(target, planted);
  if (c.kind == "file of nobody") {
    write_file(planted, "untouched\n");
    ASSERT_EQ(::chown(planted.c_str(), 65534, 65534), 0);
  }
  if (c.kind == "symlink as tar starts") {
    const std::string real_tar = sandbox.scratch("real_tar");
    boost::filesystem::copy_file("/bin/tar", real_tar);
    write_file(sandbox.scratch("tar"), "#!/bin/sh\ncase \"$*\" in *czf*) ln -s '" + target + "' '" + planted +
                                           "';; esac\nexec '" + real_tar + "' \"$@\"\n");
    ::chmod(sandbox.scratch("tar").c_str(), 0755);
    sandbox.bind(sandbox.scratch("tar"), "/bin/tar");
  }
  if (c.kind.empty()) kvfd.set("backup.block", "1");
  RunningProgram run = sandbox.start(c.restore ? restore_args("rec") : backup_args());

  if (c.kind.empty()) {
    // What the data mover finds while it runs.
    ASSERT_TRUE(kvfd.wait_until_waiting(std::chrono::seconds(60))) << sandbox.log_tail();
    std::map<std::string, mode_t> modes;
    for (const auto& name : operation_files()) {
      struct stat status {};
      const std::string path = operation_dir() + "/" + name;
      if ((contains(name, ".config") || contains(name, ".list")) && ::lstat(path.c_str(), &status) == 0)
        modes[name] = status.st_mode;
    }
    write_file(kvfd.dir() + "/go", "");
    const mode_t own = S_IFREG | 0600;
    EXPECT_EQ(modes, (std::map<std::string, mode_t>{{"NAME.kvfd.list", own},
                                                     {"NAME.vm.config", own},
                                                     {"NAME_vdb.config", own},
                                                     {"NAME_vdc.config", own}}));
    EXPECT_EQ(run.wait(120).status, 0);
  } else {
    const ProgramResult result = run.wait(120);
    EXPECT_EQ(result.status, c.status) << sandbox.log_tail();
    EXPECT_EQ(contains(result.err, planted + ": " + std::string(kv_utils_common::k_name_taken_text)), c.status != 0)
        << result.err;
    EXPECT_EQ(boost::filesystem::is_symlink(planted), c.status != 0 && contains(c.kind, "symlink"));
  }
  EXPECT_EQ(read_file(c.kind == "file of nobody" ? planted : target), "untouched\n");
  EXPECT_TRUE(boost::filesystem::is_empty(target_folder));
  ::umask(umask_before);
}

INSTANTIATE_TEST_SUITE_P(OperationFolder, PlantedName,
                         ::testing::Values(Planted{"", ""}, Planted{"symlink", "NAME.vm.config"},
                                           Planted{"symlink", "NAME_vdb.config"}, Planted{"symlink", "NAME.kvfd.list"},
                                           Planted{"hard link", "NAME_vdb.config"},
                                           Planted{"file of nobody", "NAME_vdb.config"},
                                           Planted{"symlink to a folder", "NAME.snap_dir", 13},
                                           Planted{"symlink", "NAME.snap"},
                                           Planted{"symlink as tar starts", "NAME.snap", 0},
                                           Planted{"symlink to a folder", "rec.rest", 7, true}));

}  // namespace
}  // namespace kv_test
