#include "module/host_block_devices.h"

#include "tests/module/module_test_support.h"

#include <map>
#include <sstream>
#include <tuple>
#include <string>
#include <vector>

using namespace module_test;

namespace {

// Only the host snapshots use these queries, and no operation uses those: a smoke row each.
TEST(FindMountedDevice, MatchesTheFirstLineWithTheEscapedMountPoint) {
  std::istringstream mounts(
      "/dev/sda1 /mnt/my\\040disk ext4 rw 0 0\n"
      "/dev/sdb1 /data ext4 rw 0 0\n"
      "/dev/sdc1 /data ext4 rw 0 0\n");
  for (const auto& [mount_point, expected] : std::vector<std::pair<std::string, std::string>>{
           {"/mnt/my disk", "/dev/sda1"}, {"/data", "/dev/sdb1"}, {"/dat", ""}}) {
    mounts.clear();
    mounts.seekg(0);
    std::string device;
    EXPECT_EQ(kelvanor::module::find_mounted_device(mounts, mount_point, device), !expected.empty());
    EXPECT_EQ(device, expected);
  }
}

TEST_F(ModuleTest, BlockDeviceQueries) {
  std::map<std::string, std::pair<int, std::string>> answers = {
      {"stat -c %m -- '/it'\\''s'", {0, "/var\n"}},
      {"lsblk -bJ '/dev/dm-0'", {0, R"({"blockdevices":[{"name":"vg-root","size":10737418240,"ro":true,"type":"lvm"}]})"}},
      {"lsblk -bfJ '/dev/dm-0'", {0, R"({"blockdevices":[{"fstype":"xfs","fsavail":"5368709120","mountpoints":["/"]}]})"}},
      {"lsblk -bJ 'bad'", {0, R"({"blockdevices":[{"size":"12x"}]})"}}};
  FakeModule module;
  module.set_command_runner([&](const std::string& command, std::string& output) {
    const auto found = answers.find(command);
    output = found == answers.end() ? "unknown command" : found->second.second;
    return found == answers.end() ? 1 : found->second.first;
  });
  EXPECT_EQ(module.get_mountpoint("/it's"), "/var");
  KvModuleUniversal::block_device_info info;
  ASSERT_TRUE(module.get_block_device_info("/dev/dm-0", info));
  EXPECT_EQ(std::make_tuple(info.name, info.size, info.ro, info.type, info.fstype, info.fsavail, info.mountpoints),
            std::make_tuple(std::string("vg-root"), uintmax_t{10737418240u}, true, std::string("lvm"), std::string("xfs"),
                            uintmax_t{5368709120u}, std::vector<std::string>{"\"/\""}));
  EXPECT_FALSE(module.get_block_device_info("bad", info));
  EXPECT_EQ(errors(), std::vector<std::string>{"bool KvModuleUniversal::get_block_device_info(const string&, "
                                               "KvModuleUniversal::block_device_info&) const: can't convert 12x to "
                                               "uintmax_t"});
}

}  // namespace
