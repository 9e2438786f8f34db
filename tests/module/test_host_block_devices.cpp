#include "module/host_block_devices.h"

#include "tests/module/module_test_support.h"

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace module_test;

namespace {

using Info = KvModuleUniversal::block_device_info;

const std::string k_info_sig =
    "bool KvModuleUniversal::get_block_device_info(const string&, KvModuleUniversal::block_device_info&) const";

const std::string k_lsblk = R"({"blockdevices": [
  {"name":"vg-root", "maj:min":"254:0", "rm":false, "size":10737418240, "ro":false, "type":"lvm", "mountpoints":["/"]}
]})";
const std::string k_lsblk_f = R"({"blockdevices": [
  {"name":"vg-root", "fstype":"xfs", "fsver":"1.0", "label":null, "uuid":"1b2c", "fsavail":"5368709120",
   "fsuse%":"50%", "mountpoints":["/", "/mnt/my disk"]}
]})";

class HostBlockDevicesTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    module.set_command_runner([this](const std::string& command, std::string& output) {
      commands.push_back(command);
      const auto found = answers.find(command);
      if (found == answers.end()) {
        output = "unknown command";
        return 1;
      }
      output = found->second.second;
      return found->second.first;
    });
  }

  FakeModule module;
  std::map<std::string, std::pair<int, std::string>> answers;  // command -> exit code, output
  std::vector<std::string> commands;
};

TEST(FindMountedDevice, MatchesTheFirstLineWithTheEscapedMountPoint) {
  std::istringstream mounts(
      "proc /proc proc rw 0 0\n"
      "/dev/sda1 /mnt/my\\040disk ext4 rw 0 0\n"
      "/dev/sdb1 /data ext4 rw 0 0\n"
      "/dev/sdc1 /data ext4 rw 0 0\n");
  struct Case {
    std::string mount_point;
    bool found;
    std::string device;
  };
  for (const Case& c : {Case{"/mnt/my disk", true, "/dev/sda1"}, Case{"/data", true, "/dev/sdb1"},
                        Case{"/dat", false, ""}}) {
    mounts.clear();
    mounts.seekg(0);
    std::string device;
    EXPECT_EQ(kelvanor::module::find_mounted_device(mounts, c.mount_point, device), c.found) << c.mount_point;
    EXPECT_EQ(device, c.device);
  }
}

TEST_F(HostBlockDevicesTest, BlockDeviceOfARealMountPoint) {
  // The running system mounts /proc; its device field is whatever /proc/mounts says.
  std::ifstream mounts("/proc/mounts");
  std::string device;
  ASSERT_TRUE(kelvanor::module::find_mounted_device(mounts, "/proc", device));
  EXPECT_EQ(module.get_block_device("/proc", false), device);
  EXPECT_TRUE(commands.empty());

  answers["realpath '" + device + "'"] = {0, "/dev/dm-0\n"};
  EXPECT_EQ(module.get_block_device("/proc", true), "/dev/dm-0");

  EXPECT_EQ(module.get_block_device("/no/such/mount point", false), "");
  EXPECT_EQ(errors().back(), "Mount point /no/such/mount point not found in '/proc/mounts'");
}

TEST_F(HostBlockDevicesTest, FailedRealpathGivesEmptyAndLogs) {
  std::ifstream mounts("/proc/mounts");
  std::string device;
  ASSERT_TRUE(kelvanor::module::find_mounted_device(mounts, "/proc", device));
  EXPECT_EQ(module.get_block_device("/proc", true), "");
  EXPECT_EQ(errors(), (std::vector<std::string>{
                          "std::string KvModuleUniversal::get_block_device(const string&, bool) const: command: "
                          "realpath '" + device + "'",
                          "unknown command"}));
}

TEST_F(HostBlockDevicesTest, MountPointOfAPath) {
  answers["stat -c %m -- '/var/lib/x'"] = {0, "/var\n"};
  EXPECT_EQ(module.get_mountpoint("/var/lib/x"), "/var");
  EXPECT_EQ(module.get_mountpoint("/it's"), "");
  EXPECT_EQ(commands.back(), "stat -c %m -- '/it'\\''s'");
  EXPECT_EQ(errors().front(),
            "std::string KvModuleUniversal::get_mountpoint(const string&) const: command: stat -c %m -- '/it'\\''s'");
}

TEST_F(HostBlockDevicesTest, MountPointOfARealPathWithTheRealStat) {
  FakeModule real;
  EXPECT_EQ(real.get_mountpoint("/proc/self"), "/proc");
}

TEST_F(HostBlockDevicesTest, InfoFromBothLsblkOutputs) {
  answers["lsblk -bJ '/dev/dm-0'"] = {0, k_lsblk};
  answers["lsblk -bfJ '/dev/dm-0'"] = {0, k_lsblk_f};
  Info info;
  ASSERT_TRUE(module.get_block_device_info("/dev/dm-0", info));
  EXPECT_EQ(info.name, "vg-root");
  EXPECT_EQ(info.size, 10737418240u);
  EXPECT_FALSE(info.ro);
  EXPECT_EQ(info.type, "lvm");
  EXPECT_EQ(info.fstype, "xfs");
  EXPECT_EQ(info.fsver, "1.0");
  EXPECT_EQ(info.label, "null");
  EXPECT_EQ(info.uuid, "1b2c");
  EXPECT_EQ(info.fsavail, 5368709120u);
  EXPECT_EQ(info.mountpoints, (std::vector<std::string>{"\"/\"", "\"/mnt/my disk\""}));
}

TEST_F(HostBlockDevicesTest, ReadOnlyFlag) {
  struct Case {
    std::string ro_member;
    bool ro;
  };
  for (const Case& c : {Case{R"("ro":true,)", true}, Case{R"("ro":false,)", false}, Case{"", false},
                        Case{R"("ro":"1",)", false}}) {
    answers["lsblk -bJ 'd'"] = {0, R"({"blockdevices":[{)" + c.ro_member + R"("name":"d","size":"1"}]})"};
    answers["lsblk -bfJ 'd'"] = {0, R"({"blockdevices":[{"fsavail":"0"}]})"};
    Info info;
    ASSERT_TRUE(module.get_block_device_info("d", info)) << c.ro_member;
    EXPECT_EQ(info.ro, c.ro) << c.ro_member;
  }
}

TEST_F(HostBlockDevicesTest, WrongLsblkOutputsFail) {
  struct Case {
    std::string first, second, error;
  };
  const std::vector<Case> cases = {
      {"[]", k_lsblk_f, k_info_sig + ": json value is not an object"},
      {"{}", k_lsblk_f, k_info_sig + ": json object value is empty"},
      {R"({"blockdevices":{}})", k_lsblk_f, k_info_sig + ": json value is not an array"},
      {R"({"other":1})", k_lsblk_f, k_info_sig + ": json value is not an array"},
      {R"({"blockdevices":[]})", k_lsblk_f, k_info_sig + ": array is empty"},
      {R"({"blockdevices":[1]})", k_lsblk_f, k_info_sig + ": json value is not an object"},
      {R"({"blockdevices":[{}]})", k_lsblk_f, k_info_sig + ": json object value is empty"},
      {R"({"blockdevices":[{"size":"12x"}]})", k_lsblk_f, k_info_sig + ": can't convert 12x to uintmax_t"},
      {k_lsblk, R"({"blockdevices":[{"fsavail":null}]})", k_info_sig + ": can't convert null to uintmax_t"},
      {k_lsblk, "not json", ""},
  };
  for (const auto& c : cases) {
    answers["lsblk -bJ 'd'"] = {0, c.first};
    answers["lsblk -bfJ 'd'"] = {0, c.second};
    Info info;
    EXPECT_FALSE(module.get_block_device_info("d", info)) << c.first << c.second;
    if (!c.error.empty()) {
      EXPECT_EQ(errors().back(), c.error);
    } else {
      EXPECT_EQ(errors().back().rfind(k_info_sig + ": json parsing failed: ", 0), 0u) << errors().back();
    }
  }
}

TEST_F(HostBlockDevicesTest, UnknownDeviceLogsCommandAndOutput) {
  Info info;
  EXPECT_FALSE(module.get_block_device_info("/dev/nothing", info));
  EXPECT_EQ(errors(), (std::vector<std::string>{k_info_sig + ": command: lsblk -bJ '/dev/nothing'", "unknown command"}));
}

}  // namespace

namespace {

TEST_F(HostBlockDevicesTest, PathWithANewlineIsRefusedWithoutRunning) {
  EXPECT_EQ(module.get_mountpoint("/a\nb"), "");
  Info info;
  EXPECT_FALSE(module.get_block_device_info("/dev/a\nb", info));
  EXPECT_TRUE(commands.empty());
  ASSERT_EQ(errors().size(), 2u);
  EXPECT_EQ(errors()[0].rfind("std::string KvModuleUniversal::get_mountpoint(const string&) const: ", 0), 0u);
  EXPECT_EQ(errors()[1].rfind(k_info_sig + ": ", 0), 0u);
}

}  // namespace
