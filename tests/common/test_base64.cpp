#include "common/base64.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using kv_utils_common::base64_decode;
using kv_utils_common::base64_encode;

// RFC 4648, section 10.
TEST(Base64, KnownAnswers) {
  const std::pair<std::string, std::string> vectors[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}};
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(base64_encode(plain), encoded) << plain;
    EXPECT_EQ(base64_decode(encoded), plain) << encoded;
  }
  EXPECT_EQ(base64_encode("\xfb\xff"), "+/8=");
}

TEST(Base64, RoundTripOfEveryLengthAndByte) {
  std::string data;
  for (int i = 0; i < 70; ++i) {
    EXPECT_EQ(base64_decode(base64_encode(data)), data) << data.size();
    data += static_cast<char>((i * 37) & 0xff);
  }
  std::string zeros(5, '\0');
  EXPECT_EQ(base64_decode(base64_encode(zeros)), zeros);
  std::string all;
  for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
  EXPECT_EQ(base64_decode(base64_encode(all)), all);
}

TEST(Base64, NoLineBreaksInLongOutput) {
  EXPECT_EQ(base64_encode(std::string(300, 'x')).find('\n'), std::string::npos);
}

TEST(Base64, CharacterOutsideTheAlphabetGivesNothing) {
  for (const std::string text : {"Zm9v!", "Zm9vYmFy\n", "Zm 9v", "Zm=9v", "QUJD!"}) EXPECT_EQ(base64_decode(text), "") << text;
}

TEST(Base64, PaddingIsOptionalOnDecoding) {
  EXPECT_EQ(base64_decode("Zm8"), "fo");
  EXPECT_EQ(base64_decode("Zg"), "f");
  EXPECT_EQ(base64_decode("=="), "");
}

}  // namespace
