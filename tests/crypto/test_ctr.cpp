#include "crypto/ctr.h"
#include "crypto/kuznyechik.h"

#include "common/kv_utils_general.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> from_hex(const std::string& hex) {
  std::vector<unsigned char> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::string to_hex(const unsigned char* data, size_t len) { return kv_utils_common::digest_as_string(data, len); }
std::string to_hex(const std::vector<unsigned char>& data) { return to_hex(data.data(), data.size()); }

// GOST R 34.12-2015 and GOST R 34.13-2015 (RFC 7801): the block example and the counter-mode example.
const std::vector<unsigned char> k_key = from_hex("8899aabbccddeeff0011223344556677fedcba98765432100123456789abcdef");
const std::vector<unsigned char> k_iv = from_hex("1234567890abcef0");
const std::vector<unsigned char> k_plaintext = from_hex(
    "1122334455667700ffeeddccbbaa998800112233445566778899aabbcceeff0a"
    "112233445566778899aabbcceeff0a002233445566778899aabbcceeff0a0011");
const char* const k_ciphertext =
    "f195d8bec10ed1dbd57b5fa240bda1b885eee733f6a13e5df33ce4b33c45dee4"
    "a5eae88be6356ed3d5e877f13564a3a5cb91fab1f20cbab6d1c6d15820bdba73";

TEST(Kuznyechik, EncryptsAndDecryptsThePublishedBlock) {
  cppcrypto::kuznyechik cipher;
  unsigned char out[16];
  ASSERT_TRUE(cipher.init(k_key.data(), cppcrypto::block_cipher::encryption));
  cipher.encrypt_block(k_plaintext.data(), out);
  EXPECT_EQ(to_hex(out, 16), "7f679d90bebc24305a468d42b9d4edcd");
  ASSERT_TRUE(cipher.init(k_key.data(), cppcrypto::block_cipher::decryption));
  cipher.decrypt_block(out, out);
  EXPECT_EQ(to_hex(out, 16), to_hex(k_plaintext).substr(0, 32));
}

// The published example, also cut into two calls at every point: keystream left over from one call
// serves the next.
TEST(Ctr, EncryptsThePublishedExample) {
  cppcrypto::ctr mode(cppcrypto::kuznyechik{});
  for (size_t split = 0; split <= k_plaintext.size(); ++split) {
    mode.init(k_key.data(), k_key.size(), k_iv.data(), k_iv.size());
    std::vector<unsigned char> out(k_plaintext.size());
    mode.encrypt(k_plaintext.data(), split, out.data());
    mode.encrypt(k_plaintext.data() + split, out.size() - split, out.data() + split);
    ASSERT_EQ(to_hex(out), k_ciphertext) << "split at " << split;
  }
}

// The counter is one big-endian number over the whole block: all ones is followed by zero.
TEST(Ctr, CounterCarriesAcrossTheWholeBlock) {
  cppcrypto::kuznyechik cipher;
  ASSERT_TRUE(cipher.init(k_key.data(), cppcrypto::block_cipher::encryption));
  const std::vector<unsigned char> zero(16, 0);
  unsigned char keystream[16];
  cipher.encrypt_block(zero.data(), keystream);

  cppcrypto::ctr mode(cipher);
  const std::vector<unsigned char> all_ones(16, 0xff);
  mode.init(k_key.data(), k_key.size(), all_ones.data(), all_ones.size());
  std::vector<unsigned char> out(32, 0);
  mode.encrypt(out.data(), out.size(), out.data());
  EXPECT_EQ(to_hex(out).substr(32), to_hex(keystream, 16));
}

// Lengths that would read or write past the key or the counter block are refused.
TEST(Ctr, RefusesKeyAndIvLengthsThatOverrun) {
  cppcrypto::ctr mode(cppcrypto::kuznyechik{});
  const std::vector<unsigned char> iv(17, 1);
  EXPECT_THROW(mode.init(k_key.data(), k_key.size(), iv.data(), 17), std::invalid_argument);
  EXPECT_THROW(mode.init(k_key.data(), 16, iv.data(), 16), std::invalid_argument);
  EXPECT_NO_THROW(mode.init(k_key.data(), k_key.size(), iv.data(), 16));
}

}  // namespace
