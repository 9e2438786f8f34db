#include "module/os_snapshot.h"

#include "common/kv_utils_common.h"
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

// Answers commands from a table and records them; unknown commands fail.
class FakeHost {
 public:
  std::map<std::string, std::pair<int, std::string>> answers;  // command -> exit code, output
  std::vector<std::string> commands;

  SnapshotCommandRunner runner() {
    return [this](const std::string& command, std::string& output) {
      commands.push_back(command);
      const auto found = answers.find(command);
      if (found == answers.end()) {
        output = "unknown command";
        return 1;
      }
      output = found->second.second;
      return found->second.first;
    };
  }
};

class SnapshotModule : public FakeModule {
 public:
  using KvModuleUniversal::os_snapshot;
  using KvModuleUniversal::os_snapshots;
  using KvModuleUniversal::use_snapshot;
};

const std::string k_lsmod = "/sbin/lsmod | grep ^dattobd";
const std::string k_datto_info = "cat /proc/datto-info";

std::string datto_table(const std::string& devices) { return R"({"version":"0.10","devices":[)" + devices + "]}"; }

class OsSnapshotTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    kelvanor::module::set_snapshot_scripts_directory_for_tests(dir() + "/scripts");
    boost::filesystem::create_directory(dir() + "/scripts");
    module.set_command_runner(host.runner());
    module.options_.task_id = "77";
    module.options_.tmp_operation_directory = dir() + "/op";
    boost::filesystem::create_directory(dir() + "/op");
    module.use_snapshot = true;
    module.snapshot_type = "dattobd";
  }
  void TearDown() override {
    kelvanor::module::set_snapshot_scripts_directory_for_tests("");
    ModuleTest::TearDown();
  }

  // A dattobd host whose device /dev/sdb1 (xfs, 10 GiB) has no snapshot yet.
  void dattobd_host(const std::string& fstype = "xfs") {
    host.answers["lsblk -bJ '/dev/sdb1'"] = {
        0, R"({"blockdevices":[{"name":"sdb1","size":10737418240,"ro":false,"type":"part"}]})"};
    host.answers["lsblk -bfJ '/dev/sdb1'"] = {
        0, R"({"blockdevices":[{"name":"sdb1","fstype":")" + fstype + R"(","fsavail":"100","mountpoints":["/srv"]}]})"};
    host.answers[k_lsmod] = {0, "dattobd 1 0"};
    host.answers[k_datto_info] = {0, datto_table(R"({"minor":0,"block_device":"/dev/sda1"},{"minor":3})")};
  }

  void write_script(const std::string& name, int code) {
    kv_test::write_file(dir() + "/scripts/" + name, "#!/bin/sh\necho \"ran $1\"\nexit " + std::to_string(code) + "\n",
                        0755);
  }

  FakeHost host;
  SnapshotModule module;
};

TEST_F(OsSnapshotTest, SnapshotSizeIsAShareRoundedToSectors) {
  struct Case {
    int32_t percent;
    uintmax_t device, expected;
  };
  for (const Case& c : {Case{10, 10737418240u, 1073741824u}, Case{10, 1000, 0}, Case{10, 7680, 1024},
                        Case{50, 1000, 512}, Case{100, 512, 512}, Case{INT32_MAX, UINTMAX_MAX, 0}}) {
    module.snapshot_size = c.percent;
    EXPECT_EQ(module.calculate_OS_snapshot_size(c.device), c.expected) << c.percent << "% of " << c.device;
  }
  EXPECT_EQ(errors(), std::vector<std::string>{
                          "uintmax_t KvModuleUniversal::calculate_OS_snapshot_size(uintmax_t) const: snapshot size "
                          "out of range: 2147483647% of 18446744073709551615 bytes"});
}

TEST_F(OsSnapshotTest, FactoryChoosesTheProvider) {
  EXPECT_NE(dynamic_cast<SnapshotLVM*>(SnapshotFactory::createSnapshot("lvm", "lvm").get()), nullptr);
  EXPECT_NE(dynamic_cast<SnapshotDattobd*>(SnapshotFactory::createSnapshot("disk", "dattobd").get()), nullptr);
  EXPECT_EQ(SnapshotFactory::createSnapshot("disk", "lvm"), nullptr);
  EXPECT_EQ(warnings(), (std::vector<std::string>{
                            "Unable to use LVM snapshot for non-LVM volume: disk, skip",
                            "SnapshotFactory:: it is impossible to determine the snapshot type. Block device type: "
                            "disk, snapshot type: lvm"}));
  EXPECT_EQ(SnapshotFactory::createSnapshot("lvm", "zfs"), nullptr);
  EXPECT_EQ(errors(), (std::vector<std::string>{"SnapshotFactory:: wrong value of OS snapshot type: zfs"}));
}

TEST_F(OsSnapshotTest, LvmSnapshotThatCannotBeReadIsRemovedAgain) {
  SnapshotLVM lvm(host.runner());
  const std::string path = "/dev/mapper/vg-root--kv--snap--77";
  host.answers["/sbin/lvcreate --size=1024B --snapshot --name '" + path + "' /dev/mapper/vg-root"] = {0, ""};
  host.answers["/sbin/lvremove -y " + path] = {0, ""};
  std::string device;
  EXPECT_FALSE(lvm.create("/dev/dm-0", "vg-root", "/", "77", 1024, device));
  EXPECT_EQ(device, path);
  ASSERT_EQ(host.commands.size(), 2u);
  EXPECT_EQ(host.commands[1], "/sbin/lvremove -y " + path);
  EXPECT_EQ(warnings(), (std::vector<std::string>{"LVM snapshot has been deleted"}));
}

TEST_F(OsSnapshotTest, LvmFailuresAreLogged) {
  SnapshotLVM lvm(host.runner());
  EXPECT_FALSE(lvm.remove("/dev/dm-0"));
  EXPECT_EQ(errors().back(), "SnapshotLVM: LVM snapshot path is empty, unable to remove LVM snapshot");
  std::string device;
  EXPECT_FALSE(lvm.create("/dev/dm-0", "vg-root", "/", "77", 1024, device));
  EXPECT_EQ(device, "");
  EXPECT_EQ(warnings().back(), "LVM snapshot wasn't created");
  EXPECT_EQ(errors().back(), "unknown command");
}

TEST_F(OsSnapshotTest, DattobdFreeMinorFollowsTheLargest) {
  SnapshotDattobd datto(host.runner());
  struct Case {
    std::string table;
    bool ok;
    std::string minor;
  };
  for (const Case& c : {Case{datto_table(R"({"minor":0},{"minor":3})"), true, "4"},
                        Case{datto_table(R"({"minor":"7"})"), true, "8"}, Case{datto_table(""), true, "0"},
                        Case{R"({"version":"1"})", false, ""}, Case{datto_table(R"({"minor":"x"})"), false, ""},
                        Case{"garbage", false, ""}, Case{"{}", false, ""},
                        Case{datto_table(R"({"minor":9223372036854775807})"), false, ""}}) {
    host.answers[k_datto_info] = {0, c.table};
    std::string minor;
    EXPECT_EQ(datto.free_minor(minor), c.ok) << c.table;
    EXPECT_EQ(minor, c.minor) << c.table;
  }
}

TEST_F(OsSnapshotTest, DattobdCheckRefusesAnExistingSnapshot) {
  dattobd_host();
  host.answers[k_datto_info] = {0, datto_table(R"({"minor":2,"block_device":"/dev/sdb1"})")};
  SnapshotDattobd datto(host.runner());
  EXPECT_FALSE(datto.check("/dev/sdb1"));
  EXPECT_EQ(warnings(), (std::vector<std::string>{
                            "Can't create dattobd snapshot of the device /dev/sdb1. The snapshot exists: /dev/datto2",
                            "You can remove it by hand if you are sure it is obsoleted. Command to destroy the "
                            "snapshot: dbdctl destroy 2"}));
}

TEST_F(OsSnapshotTest, DattobdCheckNeedsTheKernelModule) {
  SnapshotDattobd datto(host.runner());
  EXPECT_FALSE(datto.check("/dev/sdb1"));
  EXPECT_EQ(warnings(), (std::vector<std::string>{"Dattobd is not ready or not installed"}));
  EXPECT_EQ(host.commands, (std::vector<std::string>{k_lsmod}));
}

TEST_F(OsSnapshotTest, DattobdRemoveDestroysOnlyAnExistingSnapshot) {
  SnapshotDattobd datto(host.runner());
  host.answers[k_datto_info] = {0, datto_table(R"({"minor":0,"block_device":"/dev/sda1"})")};
  EXPECT_TRUE(datto.remove("/dev/sdb1"));
  EXPECT_EQ(host.commands, (std::vector<std::string>{k_datto_info}));
  host.answers[k_datto_info] = {0, datto_table(R"({"minor":5,"block_device":"/dev/sdb1"})")};
  host.answers["dbdctl destroy 5"] = {0, ""};
  EXPECT_TRUE(datto.remove("/dev/sdb1"));
  EXPECT_EQ(host.commands.back(), "dbdctl destroy 5");
  host.answers.erase(k_datto_info);
  EXPECT_FALSE(datto.remove("/dev/sdb1"));  // the table cannot be read: the snapshot may remain
}

TEST_F(OsSnapshotTest, RunScriptRunsOnlyFromTheScriptsFolder) {
  write_script("ok.sh", 0);
  write_script("bad.sh", 3);
  boost::filesystem::create_directory(dir() + "/scripts/dir.sh");
  SnapshotModule real;  // runs the scripts for real
  EXPECT_TRUE(real.run_script(dir() + "/scripts/ok.sh", "before"));
  EXPECT_TRUE(warnings().empty());
  EXPECT_TRUE(real.run_script("/elsewhere/ok.sh", "after"));
  EXPECT_EQ(warnings(), (std::vector<std::string>{"Change script path to: " + dir() + "/scripts"}));
  EXPECT_FALSE(real.run_script("bad.sh", "error"));
  EXPECT_EQ(warnings().back(), "Script returns code is not NULL");
  const std::vector<std::string> infos = log_at("Info");
  EXPECT_NE(std::find(infos.begin(), infos.end(), "ran error"), infos.end());
  EXPECT_NE(std::find(infos.begin(), infos.end(), "Script returned code: 3"), infos.end());
  EXPECT_FALSE(real.run_script("missing.sh", "before"));
  EXPECT_EQ(errors().back(), "Script doesn't exist: " + dir() + "/scripts/missing.sh");
  EXPECT_FALSE(real.run_script("dir.sh", "before"));
  EXPECT_EQ(errors().back(), dir() + "/scripts/dir.sh is not a regular file");
}

TEST_F(OsSnapshotTest, SingleDattobdSnapshotIsCreatedAndMountedReadOnly) {
  dattobd_host();
  write_script("before.sh", 0);
  module.script_before_snapshot_ = "before.sh";
  const std::string mount_dir_expected = dir() + "/op/77";
  host.answers["dbdctl setup-snapshot -f 1024 /dev/sdb1 /srv/.kelvanor_dattobd_77 4"] = {0, ""};
  host.answers["mount -o ro,norecovery,nouuid /dev/datto4 " + mount_dir_expected] = {0, ""};
  std::string device = "/dev/sdb1", mount_dir, mount_point = "/srv";
  // The real script cannot run through the fake host; let it answer for the script too.
  host.answers[dir() + "/scripts/before.sh before"] = {0, "ran before"};
  ASSERT_TRUE(module.create_OS_snapshot(device, true, mount_dir, mount_point));
  EXPECT_EQ(device, "/dev/datto4");
  EXPECT_EQ(mount_dir, mount_dir_expected);
  EXPECT_EQ(mount_point, "/srv");
  EXPECT_FALSE(module.data_incomplete);
  EXPECT_NE(module.os_snapshot, nullptr);
  EXPECT_TRUE(boost::filesystem::is_directory(mount_dir_expected));
  EXPECT_EQ(host.commands, (std::vector<std::string>{
                               "lsblk -bJ '/dev/sdb1'", "lsblk -bfJ '/dev/sdb1'", k_lsmod, k_datto_info, k_datto_info,
                               dir() + "/scripts/before.sh before",
                               "dbdctl setup-snapshot -f 1024 /dev/sdb1 /srv/.kelvanor_dattobd_77 4",
                               "mount -o ro,norecovery,nouuid /dev/datto4 " + mount_dir_expected}));
}

TEST_F(OsSnapshotTest, NothingHappensWhenSnapshotsAreOff) {
  module.use_snapshot = false;
  std::string device, mount_dir, mount_point;
  EXPECT_FALSE(module.create_OS_snapshot(device, true, mount_dir, mount_point));
  EXPECT_EQ(log_at("Info"), (std::vector<std::string>{"Snapshots are not used"}));
  EXPECT_TRUE(host.commands.empty());
  EXPECT_TRUE(module.remove_all_OS_snapshots());
}

TEST_F(OsSnapshotTest, FailedCreationRunsTheErrorScriptAndKeepsNoProvider) {
  dattobd_host("ext4");
  module.script_error_snapshot_ = "error.sh";
  write_script("error.sh", 0);
  host.answers[dir() + "/scripts/error.sh error"] = {0, ""};
  std::string device = "/dev/sdb1", mount_dir, mount_point = "/srv";
  EXPECT_FALSE(module.create_OS_snapshot(device, true, mount_dir, mount_point));
  EXPECT_TRUE(module.data_incomplete);
  EXPECT_EQ(module.os_snapshot, nullptr);
  EXPECT_EQ(host.commands.back(), dir() + "/scripts/error.sh error");
}

TEST_F(OsSnapshotTest, RefusedCheckLeavesTheOtherSnapshotAlone) {
  dattobd_host();
  host.answers[k_datto_info] = {0, datto_table(R"({"minor":2,"block_device":"/dev/sdb1"})")};
  std::string device = "/dev/sdb1", mount_dir, mount_point = "/srv";
  EXPECT_FALSE(module.create_OS_snapshot(device, false, mount_dir, mount_point));
  host.commands.clear();
  module.options_.resource = "/srv/data";
  host.answers["dbdctl destroy 2"] = {0, ""};
  EXPECT_TRUE(module.remove_OS_snapshot());
  EXPECT_EQ(std::count(host.commands.begin(), host.commands.end(), "dbdctl destroy 2"), 0);
}

TEST_F(OsSnapshotTest, ZeroSizeIsRefused) {
  dattobd_host();
  host.answers["lsblk -bJ '/dev/sdb1'"] = {0, R"({"blockdevices":[{"name":"sdb1","size":100,"type":"part"}]})"};
  std::string device = "/dev/sdb1", mount_dir, mount_point = "/srv";
  EXPECT_FALSE(module.create_OS_snapshot(device, false, mount_dir, mount_point));
  EXPECT_EQ(errors().back(),
            "bool KvModuleUniversal::create_OS_snapshot(std::string&, bool, std::string&, std::string&): unable to "
            "create a snapshot with a size of zero");
}

TEST_F(OsSnapshotTest, MultipleSnapshotWhoseMountFailedIsStillRemoved) {
  dattobd_host();
  host.answers["dbdctl setup-snapshot -f 1024 /dev/sdb1 /srv/.kelvanor_dattobd_77 4"] = {0, ""};
  std::string device = "/dev/sdb1", mount_dir = dir() + "/op/snap1", mount_point = "/srv";
  EXPECT_FALSE(module.create_OS_snapshot_multiple("/srv/data", device, true, mount_dir, mount_point));
  EXPECT_EQ(errors().back(),
            "bool KvModuleUniversal::mount_OS_snapshot_multiple(const string&, std::string&, const string&) const: "
            "command: mount -o ro,norecovery,nouuid /dev/datto4 " + dir() + "/op/snap1; result: unknown command");
  ASSERT_EQ(module.os_snapshots.size(), 1u);
  EXPECT_EQ(module.os_snapshots[0].block_device, "/dev/sdb1");

  host.answers[k_datto_info] = {0, datto_table(R"({"minor":4,"block_device":"/dev/sdb1"})")};
  host.answers["dbdctl destroy 4"] = {0, ""};
  EXPECT_TRUE(module.remove_all_OS_snapshots());
  EXPECT_EQ(host.commands.back(), "dbdctl destroy 4");
}

TEST_F(OsSnapshotTest, MultipleMountRefusesAnExistingDirectory) {
  std::string mount_dir = dir() + "/op";
  EXPECT_FALSE(module.mount_OS_snapshot_multiple("/dev/datto1", mount_dir, "-o ro"));
  EXPECT_EQ(errors().back(),
            "bool KvModuleUniversal::mount_OS_snapshot_multiple(const string&, std::string&, const string&) const: "
            "Create directory failed: " + dir() + "/op");
  EXPECT_TRUE(host.commands.empty());
}

TEST_F(OsSnapshotTest, UnmountOfAMissingOrUnmountedDirectorySucceeds) {
  EXPECT_TRUE(module.umount_OS_snapshot());
  EXPECT_TRUE(module.umount_OS_snapshot_multiple(dir() + "/nothing"));
  EXPECT_TRUE(host.commands.empty());
}

// /proc stands in for a mounted snapshot; the fake host refuses the unmount, so nothing is removed.
TEST_F(OsSnapshotTest, UnmountFindsTheMountThroughALinkOrATrailingSlash) {
  std::ifstream mounts("/proc/mounts");
  std::string device;
  ASSERT_TRUE(kelvanor::module::find_mounted_device(mounts, "/proc", device));
  host.answers["realpath '" + device + "'"] = {0, "/dev/datto1\n"};
  host.answers["umount -lf /dev/datto1"] = {1, "busy"};
  boost::filesystem::create_directory_symlink("/proc", dir() + "/link");
  for (const std::string& path : {std::string("/proc/"), dir() + "/link"}) {
    host.commands.clear();
    EXPECT_FALSE(module.umount_OS_snapshot_multiple(path)) << path;
    EXPECT_EQ(host.commands, (std::vector<std::string>{"realpath '" + device + "'", "umount -lf /dev/datto1"})) << path;
  }
}

}  // namespace
