#include "crypto/string_crypt.h"

#include "crypto/host_id.h"
#include "crypto/kuznyechik.h"
#include "tests/crypto/hex_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace kv_utils_common::server;
using namespace kv_utils_common::server::string_crypt_detail;

const std::string k_other_host = host_id_detail::compose_hardware_id("elsewhere", "ffff0000", "Linux");

struct LengthCase {
  size_t plain;
  size_t hex;
};

class EncryptedLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(EncryptedLength, IsTwiceThePaddedLength) {
  std::string text(GetParam().plain, 'x');
  encrypt_string(text);
  EXPECT_EQ(text.size(), GetParam().hex);
  EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(Lengths, EncryptedLength,
                         ::testing::Values(LengthCase{0, 32}, LengthCase{1, 32}, LengthCase{15, 32},
                                           LengthCase{16, 64}, LengthCase{17, 64}, LengthCase{31, 64},
                                           LengthCase{32, 96}));

TEST(StringCrypt, RoundTripOnThisHost) {
  for (const std::string& original : std::vector<std::string>{"", "a", "password", "exactly16chars!!", "text with ümlauts and\nline ends",
                                     std::string(100, 'q')}) {
    std::string text = original;
    encrypt_string(text);
    EXPECT_NE(text, original);
    decrypt_string(text);
    EXPECT_EQ(text, original);
  }
}

TEST(StringCrypt, SameTextGivesSameOutput) {
  std::string first = "repeatable";
  std::string second = "repeatable";
  encrypt_string(first);
  encrypt_string(second);
  EXPECT_EQ(first, second);
}

TEST(StringCrypt, UsesThisHostsIdentifier) {
  std::string here = "secret";
  std::string direct = "secret";
  encrypt_string(here);
  encrypt_string_for(direct, hardware_id());
  EXPECT_EQ(here, direct);
}

TEST(StringCrypt, AnotherHostCannotReadIt) {
  std::string text = "secret text of this host";
  encrypt_string(text);
  std::string elsewhere = text;
  decrypt_string_for(elsewhere, k_other_host);
  EXPECT_NE(elsewhere, "secret text of this host");

  std::string other = "secret text of this host";
  encrypt_string_for(other, k_other_host);
  EXPECT_NE(other, text);
  decrypt_string_for(other, k_other_host);
  EXPECT_EQ(other, "secret text of this host");
}

// Counter mode written out for the first block: the key is the ASCII text of the identifier's
// first 32 digits and the counter block is the pass phrase's first two bytes and 14 zeros.
TEST(StringCrypt, FirstBlockIsTheTextXorTheEncryptedCounterBlock) {
  const std::string id = host_id_detail::compose_hardware_id("n", "m", "s");
  cppcrypto::kuznyechik cipher;
  ASSERT_TRUE(cipher.init(reinterpret_cast<const unsigned char*>(id.data()), cppcrypto::block_cipher::encryption));
  unsigned char counter[16] = {};
  std::memcpy(counter, k_pass_phrase, 2);
  unsigned char keystream[16];
  cipher.encrypt_block(counter, keystream);

  std::string text = "fifteen chars!!";
  std::vector<unsigned char> expected(16);
  for (size_t i = 0; i < 16; ++i)
    expected[i] = static_cast<unsigned char>((i < text.size() ? text[i] : 0) ^ keystream[i]);
  encrypt_string_for(text, id);
  EXPECT_EQ(text, crypto_test::to_hex(expected));
}

TEST(StringCrypt, PassPhraseIsFifteenCharacters) { EXPECT_EQ(std::strlen(k_pass_phrase), 15u); }

TEST(StringCrypt, TextEndsAtTheFirstNulByte) {
  std::string text("before\0after", 12);
  encrypt_string_for(text, k_other_host);
  EXPECT_EQ(text.size(), 32u);
  decrypt_string_for(text, k_other_host);
  EXPECT_EQ(text, "before");
}

TEST(StringCrypt, NonHexPairsCountAsZeroAndALastLoneDigitIsIgnored) {
  std::string hex = "some text";
  encrypt_string_for(hex, k_other_host);

  std::string zero_first = "00" + hex.substr(2);
  std::string bad_first = "zq" + hex.substr(2);
  std::string half_bad_first = hex.substr(0, 1) + "g" + hex.substr(2);
  decrypt_string_for(zero_first, k_other_host);
  decrypt_string_for(bad_first, k_other_host);
  decrypt_string_for(half_bad_first, k_other_host);
  EXPECT_EQ(bad_first, zero_first);
  EXPECT_EQ(half_bad_first, zero_first);

  std::string odd = hex + "7";
  decrypt_string_for(odd, k_other_host);
  EXPECT_EQ(odd, "some text");
}

TEST(StringCrypt, EmptyHexGivesEmptyText) {
  std::string text;
  decrypt_string(text);
  EXPECT_EQ(text, "");
}

}  // namespace
