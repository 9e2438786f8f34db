#include "crypto/host_id.h"

#include "common/kv_utils_common.h"
#include "crypto/host_key.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

using namespace kv_utils_common::server;
using namespace kv_utils_common::server::host_id_detail;

bool is_lower_hex_digest(const std::string& text) {
  static const std::regex k_digest("[0-9a-f]{64}");
  return std::regex_match(text, k_digest);
}

TEST(HardwareId, IsSixtyFourLowerCaseHexDigitsAndStable) {
  const std::string id = hardware_id();
  EXPECT_TRUE(is_lower_hex_digest(id)) << id;
  EXPECT_EQ(hardware_id(), id);
}

TEST(HardwareId, IsTheDigestOfNodeNameMachineIdAndSystemName) {
  EXPECT_EQ(hardware_id(),
            compose_hardware_id(kv_utils_common::get_nodename(), read_machine_id(k_machine_id_path), system_name()));
  EXPECT_EQ(system_name(), "Linux");
}

// The digest checked against an independent HMAC-SHA-256: the openssl command-line tool.
TEST(HardwareId, MatchesOpensslHmacOfTheJoinedText) {
  std::string version;
  if (kv_utils_common::execute_command("openssl version", version) != 0) GTEST_SKIP() << "no openssl tool";
  std::string output;
  ASSERT_EQ(kv_utils_common::execute_command(std::string("printf '%s' 'host-1abc123Linux' | openssl dgst -sha256 -hmac ") +
                                                 std::string(kelvanor::hash::k_host_key),
                                             output),
            0)
      << output;
  std::smatch match;
  ASSERT_TRUE(std::regex_search(output, match, std::regex("[0-9a-f]{64}"))) << output;
  EXPECT_EQ(compose_hardware_id("host-1", "abc123", "Linux"), match.str());
}

TEST(HardwareId, HostKeyIsNinetyThreeDigits) {
  EXPECT_TRUE(std::regex_match(std::string(kelvanor::hash::k_host_key), std::regex("[0-9]{93}")));
}

TEST(HardwareId, ChangesWithEachPiece) {
  const std::string base = compose_hardware_id("node", "0123456789abcdef", "Linux");
  EXPECT_TRUE(is_lower_hex_digest(base));
  EXPECT_NE(compose_hardware_id("node2", "0123456789abcdef", "Linux"), base);
  EXPECT_NE(compose_hardware_id("node", "0123456789abcdee", "Linux"), base);
  EXPECT_NE(compose_hardware_id("node", "0123456789abcdef", "GNU"), base);
  EXPECT_NE(compose_hardware_id("node", "", "Linux"), base);
  // Only the joined text counts, not where one piece ends.
  EXPECT_EQ(compose_hardware_id("node0", "123456789abcdef", "Linux"), base);
}

struct MachineIdCase {
  const char* name;
  const char* content;  // nullptr: no file
  const char* expected;
};

class MachineIdFile : public ::testing::TestWithParam<MachineIdCase> {};

TEST_P(MachineIdFile, GivesTheFirstLineWithoutItsEnd) {
  kv_test::TempDir dir;
  const std::string path = dir / "machine-id";
  if (GetParam().content != nullptr) kv_test::write_file(path, GetParam().content);
  EXPECT_EQ(read_machine_id(path), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Files, MachineIdFile,
                         ::testing::Values(MachineIdCase{"one_line", "6f1a0c2e9b\n", "6f1a0c2e9b"},
                                           MachineIdCase{"no_line_end", "6f1a0c2e9b", "6f1a0c2e9b"},
                                           MachineIdCase{"two_lines", "first\nsecond\n", "first"},
                                           MachineIdCase{"empty", "", ""}, MachineIdCase{"missing", nullptr, ""}),
                         [](const ::testing::TestParamInfo<MachineIdCase>& param_info) { return std::string(param_info.param.name); });

}  // namespace
