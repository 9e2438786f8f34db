#include "module/os_snapshot.h"

#include "module/host_block_devices.h"
#include "tests/module/module_test_support.h"
#include "tests/support/temp_dir.h"

#include <boost/filesystem/operations.hpp>

#include <cstdint>
#include <fstream>
#include <map>
#include <string>
#include <vector>

using namespace module_test;

namespace {

class SnapshotModule : public FakeModule {
 public:
  using KvModuleUniversal::os_snapshot;
  using KvModuleUniversal::os_snapshots;
};

const std::string k_datto_info = "cat /proc/datto-info";

std::string datto_table(const std::string& devices) { return R"({"devices":[)" + devices + "]}"; }

// No operation takes host snapshots: one smoke row, and the rows of faults mended here. The host
// answers commands from a table; unknown commands fail.
class OsSnapshotTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    module.set_command_runner(runner());
    module.options_.task_id = "77";
    module.options_.tmp_operation_directory = dir() + "/op";
    boost::filesystem::create_directory(dir() + "/op");
    module.use_snapshot = true;
    module.snapshot_type = "dattobd";
    // A dattobd host whose device /dev/sdb1 (xfs, 10 GiB) has no snapshot yet.
    answers["lsblk -bJ '/dev/sdb1'"] = {0, R"({"blockdevices":[{"name":"sdb1","size":10737418240,"type":"part"}]})"};
    answers["lsblk -bfJ '/dev/sdb1'"] = {0, R"({"blockdevices":[{"fstype":"xfs","fsavail":"100"}]})"};
    answers["/sbin/lsmod | grep ^dattobd"] = {0, "dattobd 1 0"};
    answers[k_datto_info] = {0, datto_table(R"({"minor":0,"block_device":"/dev/sda1"},{"minor":3})")};
    answers["dbdctl setup-snapshot -f 1024 /dev/sdb1 /srv/.kelvanor_dattobd_77 4"] = {0, ""};
  }

  SnapshotCommandRunner runner() {
    return [this](const std::string& command, std::string& output) {
      commands.push_back(command);
      const auto found = answers.find(command);
      output = found == answers.end() ? "unknown command" : found->second.second;
      return found == answers.end() ? 1 : found->second.first;
    };
  }

  std::map<std::string, std::pair<int, std::string>> answers;  // command -> exit code, output
  std::vector<std::string> commands;
  SnapshotModule module;
};

TEST_F(OsSnapshotTest, SingleDattobdSnapshotIsCreatedAndMountedReadOnly) {
  const std::string mount_dir_expected = dir() + "/op/77";
  answers["mount -o ro,norecovery,nouuid /dev/datto4 " + mount_dir_expected] = {0, ""};
  std::string device = "/dev/sdb1", mount_dir, mount_point = "/srv";
  ASSERT_TRUE(module.create_OS_snapshot(device, true, mount_dir, mount_point));
  EXPECT_EQ(device, "/dev/datto4");
  EXPECT_EQ(mount_dir, mount_dir_expected);
  EXPECT_FALSE(module.data_incomplete);
  EXPECT_EQ(commands.back(), "mount -o ro,norecovery,nouuid /dev/datto4 " + mount_dir_expected);
}

TEST_F(OsSnapshotTest, SnapshotSizeIsAShareRoundedToSectorsWithinRange) {
  struct Case {
    int32_t percent;
    uintmax_t device, expected;
  };
  for (const Case& c : {Case{10, 10737418240u, 1073741824u}, Case{10, 7680, 1024}, Case{INT32_MAX, UINTMAX_MAX, 0}}) {
    module.snapshot_size = c.percent;
    EXPECT_EQ(module.calculate_OS_snapshot_size(c.device), c.expected) << c.percent << "% of " << c.device;
  }
  EXPECT_EQ(errors().size(), 1u);
}

TEST_F(OsSnapshotTest, DattobdFreeMinorFollowsTheLargest) {
  SnapshotDattobd datto(runner());
  for (const auto& [table, minor] : std::vector<std::pair<std::string, std::string>>{
           {datto_table(R"({"minor":3},{"minor":"0"})"), "4"},
           {datto_table(""), "0"},
           {datto_table(R"({"minor":9223372036854775807})"), ""}}) {
    answers[k_datto_info] = {0, table};
    std::string found;
    EXPECT_EQ(datto.free_minor(found), !minor.empty()) << table;
    EXPECT_EQ(found, minor) << table;
  }
  answers.erase(k_datto_info);  // without the table the snapshot may still be there
  EXPECT_FALSE(datto.remove("/dev/sdb1"));
}

TEST_F(OsSnapshotTest, LvmSnapshotThatCannotBeReadIsRemovedAgain) {
  SnapshotLVM lvm(runner());
  const std::string path = "/dev/mapper/vg-root--kv--snap--77";
  answers["/sbin/lvcreate --size=1024B --snapshot --name '" + path + "' /dev/mapper/vg-root"] = {0, ""};
  answers["/sbin/lvremove -y " + path] = {0, ""};
  std::string device;
  EXPECT_FALSE(lvm.create("/dev/dm-0", "vg-root", "/", "77", 1024, device));
  EXPECT_EQ(commands.back(), "/sbin/lvremove -y " + path);
}

TEST_F(OsSnapshotTest, ScriptsRunOnlyFromTheScriptsFolder) {
  kelvanor::module::set_snapshot_scripts_directory_for_tests(dir());
  kv_test::write_file(dir() + "/thaw.sh", "", 0755);
  answers[dir() + "/thaw.sh after"] = {0, ""};
  const bool ran = module.run_script("/elsewhere/thaw.sh", "after");
  kelvanor::module::set_snapshot_scripts_directory_for_tests("");
  EXPECT_TRUE(ran);
  EXPECT_EQ(commands.size(), 1u);
}

TEST_F(OsSnapshotTest, ZeroSizeIsRefused) {
  answers["lsblk -bJ '/dev/sdb1'"] = {0, R"({"blockdevices":[{"name":"sdb1","size":100,"type":"part"}]})"};
  std::string device = "/dev/sdb1", mount_dir, mount_point = "/srv";
  EXPECT_FALSE(module.create_OS_snapshot(device, false, mount_dir, mount_point));
  EXPECT_EQ(commands.size(), 2u);  // the two lsblk queries, nothing on the device
}

TEST_F(OsSnapshotTest, RefusedCheckLeavesTheOtherTasksSnapshotAlone) {
  answers[k_datto_info] = {0, datto_table(R"({"minor":2,"block_device":"/dev/sdb1"})")};
  std::string device = "/dev/sdb1", mount_dir, mount_point = "/srv";
  EXPECT_FALSE(module.create_OS_snapshot(device, false, mount_dir, mount_point));
  // The resource lies on /proc, which stands in for the origin device's mount.
  std::ifstream mounts("/proc/mounts");
  std::string proc_device;
  ASSERT_TRUE(kelvanor::module::find_mounted_device(mounts, "/proc", proc_device));
  module.options_.resource = "/srv/data";
  answers["stat -c %m -- '/srv/data'"] = {0, "/proc\n"};
  answers["realpath '" + proc_device + "'"] = {0, "/dev/sdb1\n"};
  answers["dbdctl destroy 2"] = {0, ""};
  EXPECT_TRUE(module.remove_OS_snapshot());
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "dbdctl destroy 2"), 0);
}

TEST_F(OsSnapshotTest, MultipleSnapshotWhoseMountFailedIsStillRemoved) {
  std::string device = "/dev/sdb1", mount_dir = dir() + "/op/snap1", mount_point = "/srv";
  EXPECT_FALSE(module.create_OS_snapshot_multiple("/srv/data", device, true, mount_dir, mount_point));
  ASSERT_EQ(module.os_snapshots.size(), 1u);
  answers[k_datto_info] = {0, datto_table(R"({"minor":4,"block_device":"/dev/sdb1"})")};
  answers["dbdctl destroy 4"] = {0, ""};
  EXPECT_TRUE(module.remove_all_OS_snapshots());
  EXPECT_EQ(commands.back(), "dbdctl destroy 4");
}

// /proc stands in for a mounted snapshot; the host refuses the unmount, so nothing is removed.
TEST_F(OsSnapshotTest, UnmountFindsTheMountThroughALinkOrATrailingSlash) {
  std::ifstream mounts("/proc/mounts");
  std::string device;
  ASSERT_TRUE(kelvanor::module::find_mounted_device(mounts, "/proc", device));
  answers["realpath '" + device + "'"] = {0, "/dev/datto1\n"};
  answers["umount -lf /dev/datto1"] = {1, "busy"};
  boost::filesystem::create_directory_symlink("/proc", dir() + "/link");
  for (const std::string& path : {std::string("/proc/"), dir() + "/link"}) {
    commands.clear();
    EXPECT_FALSE(module.umount_OS_snapshot_multiple(path)) << path;
    EXPECT_EQ(commands, (std::vector<std::string>{"realpath '" + device + "'", "umount -lf /dev/datto1"})) << path;
  }
}

}  // namespace
