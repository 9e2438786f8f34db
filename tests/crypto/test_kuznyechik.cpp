#include "crypto/kuznyechik.h"

#include "tests/crypto/hex_util.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using crypto_test::from_hex;
using crypto_test::to_hex;

const std::vector<unsigned char> k_key =
    from_hex("8899aabbccddeeff0011223344556677fedcba98765432100123456789abcdef");
const std::vector<unsigned char> k_plaintext = from_hex("1122334455667700ffeeddccbbaa9988");
const char* const k_ciphertext = "7f679d90bebc24305a468d42b9d4edcd";

TEST(Kuznyechik, EncryptsThePublishedExample) {
  cppcrypto::kuznyechik cipher;
  EXPECT_EQ(cipher.blocksize(), 128U);
  EXPECT_EQ(cipher.keysize(), 256U);
  ASSERT_TRUE(cipher.init(k_key.data(), cppcrypto::block_cipher::encryption));
  unsigned char out[16];
  cipher.encrypt_block(k_plaintext.data(), out);
  EXPECT_EQ(to_hex(out, 16), k_ciphertext);
}

TEST(Kuznyechik, DecryptsThePublishedExample) {
  cppcrypto::kuznyechik cipher;
  ASSERT_TRUE(cipher.init(k_key.data(), cppcrypto::block_cipher::decryption));
  const std::vector<unsigned char> ciphertext = from_hex(k_ciphertext);
  unsigned char out[16];
  cipher.decrypt_block(ciphertext.data(), out);
  EXPECT_EQ(to_hex(out, 16), to_hex(k_plaintext));
}

TEST(Kuznyechik, DecryptionInvertsEncryptionForManyKeysAndBlocks) {
  cppcrypto::kuznyechik enc;
  cppcrypto::kuznyechik dec;
  std::vector<unsigned char> key(32);
  unsigned char block[16];
  for (int round = 0; round < 50; ++round) {
    for (size_t i = 0; i < key.size(); ++i)
      key[i] = static_cast<unsigned char>(round * 31 + i * 7);
    for (int i = 0; i < 16; ++i)
      block[i] = static_cast<unsigned char>(round * 13 + i * 101);
    ASSERT_TRUE(enc.init(key.data(), cppcrypto::block_cipher::encryption));
    ASSERT_TRUE(dec.init(key.data(), cppcrypto::block_cipher::decryption));
    unsigned char sealed[16];
    unsigned char opened[16];
    enc.encrypt_block(block, sealed);
    dec.decrypt_block(sealed, opened);
    ASSERT_EQ(to_hex(opened, 16), to_hex(block, 16)) << "round " << round;
    ASSERT_NE(to_hex(sealed, 16), to_hex(block, 16));
  }
}

TEST(Kuznyechik, BlocksFunctionsProcessEveryBlock) {
  cppcrypto::kuznyechik cipher;
  ASSERT_TRUE(cipher.init(k_key.data(), cppcrypto::block_cipher::encryption));
  std::vector<unsigned char> three;
  for (int i = 0; i < 3; ++i)
    three.insert(three.end(), k_plaintext.begin(), k_plaintext.end());
  std::vector<unsigned char> out(48);
  cipher.encrypt_blocks(three.data(), out.data(), 3);
  EXPECT_EQ(to_hex(out), std::string(k_ciphertext) + k_ciphertext + k_ciphertext);

  ASSERT_TRUE(cipher.init(k_key.data(), cppcrypto::block_cipher::decryption));
  std::vector<unsigned char> back(48);
  cipher.decrypt_blocks(out.data(), back.data(), 3);
  EXPECT_EQ(back, three);
}

TEST(Kuznyechik, CloneIsUnkeyedAndWorksOnceKeyed) {
  cppcrypto::kuznyechik cipher;
  ASSERT_TRUE(cipher.init(k_key.data(), cppcrypto::block_cipher::encryption));
  std::unique_ptr<cppcrypto::block_cipher> copy(cipher.clone());
  ASSERT_TRUE(copy->init(k_key.data(), cppcrypto::block_cipher::encryption));
  unsigned char out[16];
  copy->encrypt_block(k_plaintext.data(), out);
  EXPECT_EQ(to_hex(out, 16), k_ciphertext);
}

}  // namespace
