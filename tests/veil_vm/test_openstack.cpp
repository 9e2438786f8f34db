// Reading lsblk's and udevadm's output to find attached disks.
#include "veil_vm/openstack.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct LsblkCase {
  std::string name;
  std::string json;
  int result;
  std::vector<std::string> disks;
};

class BlockDeviceList : public ::testing::TestWithParam<LsblkCase> {};

TEST_P(BlockDeviceList, ListsTopLevelDisksOnly) {
  const LsblkCase& c = GetParam();
  std::vector<std::string> names{"kept"};
  EXPECT_EQ(openstack::parse_block_devices(c.json, names), c.result);
  std::vector<std::string> expected{"kept"};
  expected.insert(expected.end(), c.disks.begin(), c.disks.end());
  EXPECT_EQ(names, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lsblk, BlockDeviceList,
    ::testing::Values(
        LsblkCase{"DiskWithPartition",
                  R"({"blockdevices":[{"name":"vda","type":"disk","children":[{"name":"vda1","type":"part"}]},)"
                  R"({"name":"sr0","type":"rom"},{"name":"vdb","type":"disk"}]})",
                  0,
                  {"vda", "vdb"}},
        LsblkCase{"NoBlockDevicesMember", R"({"other":[]})", 0, {}},
        LsblkCase{"MissingTypeIsNotADisk", R"({"blockdevices":[{"name":"vdc"}]})", 0, {}},
        LsblkCase{"NotAnObject", R"([1,2])", 6, {}}, LsblkCase{"EmptyObject", "{}", 6, {}},
        LsblkCase{"NotAnArray", R"({"blockdevices":{}})", 6, {}},
        LsblkCase{"ElementNotAnObject", R"({"blockdevices":[1]})", 6, {}},
        LsblkCase{"EmptyElement", R"({"blockdevices":[{}]})", 6, {}},
        LsblkCase{"NamesBeforeAFailureStay", R"({"blockdevices":[{"name":"vdb","type":"disk"},{}]})", 6, {"vdb"}},
        LsblkCase{"NotJson", "lsblk: failed", 2, {}},
        LsblkCase{"NameNotAString", R"({"blockdevices":[{"name":5,"type":"disk"}]})", 2, {}}),
    [](const auto& test_case) { return test_case.param.name; });

struct SerialCase {
  std::string name;
  std::string output;
  bool found;
  std::string serial;
};

class DiskSerial : public ::testing::TestWithParam<SerialCase> {};

TEST_P(DiskSerial, ReadsTheValueOfIdSerialOnly) {
  const SerialCase& c = GetParam();
  std::string serial = "unchanged";
  EXPECT_EQ(openstack::parse_disk_serial(c.output, serial), c.found);
  EXPECT_EQ(serial, c.found ? c.serial : "unchanged");
}

INSTANTIATE_TEST_SUITE_P(
    Udevadm, DiskSerial,
    ::testing::Values(SerialCase{"OneLine", "E: ID_SERIAL=0123456789abcdef01\n", true, "0123456789abcdef01"},
                      SerialCase{"WithShortSerialAfter",
                                 "E: ID_SERIAL=0123456789abcdef01\nE: ID_SERIAL_SHORT=0123456789abcdef01\n", true,
                                 "0123456789abcdef01"},
                      SerialCase{"ShortSerialFirst", "E: ID_SERIAL_SHORT=short\nE: ID_SERIAL=long\n", true, "long"},
                      SerialCase{"LowerCaseKey", "E: id_serial=abc\n", true, "abc"},
                      SerialCase{"NoLineEnd", "E: ID_SERIAL=abc", true, "abc"},
                      SerialCase{"WithoutPrefix", "ID_SERIAL=abc\n", true, "abc"},
                      SerialCase{"OnlyShortSerial", "E: ID_SERIAL_SHORT=abc\n", false, ""},
                      SerialCase{"Nothing", "", false, ""}),
    [](const auto& test_case) { return test_case.param.name; });

}  // namespace
