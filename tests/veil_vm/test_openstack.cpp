// Finding attached disks: reading lsblk's and udevadm's output, and the device names that may
// reach a shell command.
#include "veil_vm/openstack.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(BlockDeviceList, ListsTopLevelDisksOnlyAndTellsShapeFromSyntaxErrors) {
  const struct {
    const char* json;
    int result;
    std::vector<std::string> disks;
  } cases[] = {
      {R"({"blockdevices":[{"name":"vda","type":"disk","children":[{"name":"vda1","type":"part"}]},)"
       R"({"name":"sr0","type":"rom"},{"name":"vdb","type":"disk"}]})",
       0, {"kept", "vda", "vdb"}},
      {"{}", 6, {"kept"}},
      {R"({"blockdevices":[{"name":"vdb","type":"disk"},{}]})", 6, {"kept", "vdb"}},
      {R"({"blockdevices":[{"name":5,"type":"disk"}]})", 2, {"kept"}},
      {"lsblk: failed", 2, {"kept"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> names{"kept"};
    EXPECT_EQ(openstack::parse_block_devices(c.json, names), c.result) << c.json;
    EXPECT_EQ(names, c.disks) << c.json;
  }
}

TEST(DiskSerial, IsTheValueOfTheIdSerialLineInAnyLetterCase) {
  std::string serial;
  EXPECT_TRUE(openstack::parse_disk_serial("E: ID_SERIAL_SHORT=short\nE: ID_SERIAL=0123456789abcdef01\n", serial));
  EXPECT_EQ(serial, "0123456789abcdef01");
  EXPECT_TRUE(openstack::parse_disk_serial("id_serial=abc", serial));
  EXPECT_EQ(serial, "abc");
  EXPECT_FALSE(openstack::parse_disk_serial("E: ID_SERIAL_SHORT=abc\n", serial));
}

TEST(DiskSerial, ADeviceNameThatIsNotAPlainNameNeverReachesTheShell) {
  kv_test::TempDir dir;
  const std::string marker = dir / "ran";
  const std::vector<std::string> names = {"x$(touch " + marker + ")", "x`touch " + marker + "`",
                                          "vdb;touch " + marker + ";#", "../vdb", ""};
  for (const std::string& name : names) {
    std::string serial = "unchanged";
    EXPECT_EQ(openstack::get_disk_serial_number(name, serial), 1) << name;
    EXPECT_EQ(serial, "unchanged");
  }
  EXPECT_FALSE(kv_test::file_exists(marker));
}

}  // namespace
