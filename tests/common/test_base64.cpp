#include "common/base64.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using kv_utils_common::base64_decode;
using kv_utils_common::base64_encode;

// RFC 4648 vectors, one per length modulo 3, and the two digits beyond letters and numbers.
TEST(Base64, KnownAnswersAndRefusedText) {
  const std::pair<std::string, std::string> rows[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"\xfb\xff", "+/8="}};
  for (const auto& [plain, encoded] : rows) {
    EXPECT_EQ(base64_encode(plain), encoded) << plain;
    EXPECT_EQ(base64_decode(encoded), plain) << encoded;
  }
  EXPECT_EQ(base64_decode("Zm8"), "fo");
  EXPECT_EQ(base64_decode("Zm9v!"), "");
}

}  // namespace
