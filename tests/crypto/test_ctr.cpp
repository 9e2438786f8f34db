#include "crypto/ctr.h"

#include "crypto/kuznyechik.h"
#include "tests/crypto/hex_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

using crypto_test::from_hex;
using crypto_test::to_hex;

const std::vector<unsigned char> k_key =
    from_hex("8899aabbccddeeff0011223344556677fedcba98765432100123456789abcdef");
const std::vector<unsigned char> k_iv = from_hex("1234567890abcef0");
const std::vector<unsigned char> k_plaintext =
    from_hex("1122334455667700ffeeddccbbaa998800112233445566778899aabbcceeff0a"
             "112233445566778899aabbcceeff0a002233445566778899aabbcceeff0a0011");
const char* const k_ciphertext =
    "f195d8bec10ed1dbd57b5fa240bda1b885eee733f6a13e5df33ce4b33c45dee4"
    "a5eae88be6356ed3d5e877f13564a3a5cb91fab1f20cbab6d1c6d15820bdba73";

std::vector<unsigned char> ctr_encrypt(const std::vector<unsigned char>& iv,
                                       const std::vector<unsigned char>& in) {
  cppcrypto::kuznyechik cipher;
  cppcrypto::ctr mode(cipher);
  mode.init(k_key.data(), k_key.size(), iv.data(), iv.size());
  std::vector<unsigned char> out(in.size());
  mode.encrypt(in.data(), in.size(), out.data());
  return out;
}

// Counter mode written out: the IV padded with zeros, counted up as one big-endian number.
std::vector<unsigned char> expected_ctr(const std::vector<unsigned char>& iv,
                                        const std::vector<unsigned char>& in) {
  cppcrypto::kuznyechik cipher;
  EXPECT_TRUE(cipher.init(k_key.data(), cppcrypto::block_cipher::encryption));
  std::vector<unsigned char> counter(16, 0);
  std::copy(iv.begin(), iv.end(), counter.begin());
  std::vector<unsigned char> out(in.size());
  for (size_t done = 0; done < in.size(); done += 16) {
    unsigned char keystream[16];
    cipher.encrypt_block(counter.data(), keystream);
    for (size_t i = 0; i < 16 && done + i < in.size(); ++i)
      out[done + i] = static_cast<unsigned char>(in[done + i] ^ keystream[i]);
    for (size_t i = 16; i-- > 0;)
      if (++counter[i] != 0)
        break;
  }
  return out;
}

std::vector<unsigned char> sample(size_t len) {
  std::vector<unsigned char> data(len);
  for (size_t i = 0; i < len; ++i)
    data[i] = static_cast<unsigned char>(i * 29 + 5);
  return data;
}

TEST(Ctr, EncryptsThePublishedExample) {
  EXPECT_EQ(to_hex(ctr_encrypt(k_iv, k_plaintext)), k_ciphertext);
}

TEST(Ctr, SizesComeFromTheCipher) {
  cppcrypto::kuznyechik cipher;
  cppcrypto::ctr mode(cipher);
  EXPECT_EQ(mode.keysize(), 256U);
  EXPECT_EQ(mode.ivsize(), 128U);
}

TEST(Ctr, MatchesCountersEncryptedBlockByBlock) {
  const std::vector<unsigned char> two_byte_iv = {'K', '7'};
  for (const size_t len : {0, 1, 15, 16, 17, 31, 32, 33, 100, 160}) {
    const std::vector<unsigned char> data = sample(len);
    EXPECT_EQ(to_hex(ctr_encrypt(two_byte_iv, data)), to_hex(expected_ctr(two_byte_iv, data)))
        << len << " bytes";
  }
}

TEST(Ctr, EverySplitIntoTwoCallsGivesTheSameOutput) {
  const std::vector<unsigned char> data = sample(75);
  const std::vector<unsigned char> whole = ctr_encrypt(k_iv, data);
  cppcrypto::kuznyechik cipher;
  cppcrypto::ctr mode(cipher);
  for (size_t split = 0; split <= data.size(); ++split) {
    mode.init(k_key.data(), k_key.size(), k_iv.data(), k_iv.size());
    std::vector<unsigned char> out(data.size());
    mode.encrypt(data.data(), split, out.data());
    mode.encrypt(data.data() + split, data.size() - split, out.data() + split);
    ASSERT_EQ(to_hex(out), to_hex(whole)) << "split at " << split;
  }
}

TEST(Ctr, ManySmallCallsGiveTheSameOutput) {
  const std::vector<unsigned char> data = sample(100);
  cppcrypto::kuznyechik cipher;
  cppcrypto::ctr mode(cipher);
  mode.init(k_key.data(), k_key.size(), k_iv.data(), k_iv.size());
  std::vector<unsigned char> out(data.size());
  for (size_t done = 0, step = 1; done < data.size(); done += step, step = step % 7 + 1) {
    const size_t len = std::min(step, data.size() - done);
    mode.encrypt(data.data() + done, len, out.data() + done);
  }
  EXPECT_EQ(to_hex(out), to_hex(ctr_encrypt(k_iv, data)));
}

TEST(Ctr, CounterOfAllOnesWrapsToZero) {
  const std::vector<unsigned char> all_ones(16, 0xff);
  const std::vector<unsigned char> data = sample(32);
  const std::vector<unsigned char> out = ctr_encrypt(all_ones, data);

  cppcrypto::kuznyechik cipher;
  ASSERT_TRUE(cipher.init(k_key.data(), cppcrypto::block_cipher::encryption));
  const std::vector<unsigned char> zero(16, 0);
  unsigned char keystream[16];
  cipher.encrypt_block(zero.data(), keystream);
  for (size_t i = 0; i < 16; ++i)
    EXPECT_EQ(out[16 + i], data[16 + i] ^ keystream[i]) << "byte " << i;
}

TEST(Ctr, DecryptInPlaceGivesTheInputBack) {
  const std::vector<unsigned char> data = sample(77);
  cppcrypto::kuznyechik cipher;
  cppcrypto::ctr mode(cipher);
  std::vector<unsigned char> buffer = data;
  mode.init(k_key.data(), k_key.size(), k_iv.data(), k_iv.size());
  mode.encrypt(buffer.data(), buffer.size(), buffer.data());
  EXPECT_EQ(to_hex(buffer), to_hex(ctr_encrypt(k_iv, data)));
  mode.init(k_key.data(), k_key.size(), k_iv.data(), k_iv.size());
  mode.decrypt(buffer.data(), buffer.size(), buffer.data());
  EXPECT_EQ(buffer, data);
}

TEST(Ctr, CloneIsUnkeyedAndWorksOnceKeyed) {
  cppcrypto::kuznyechik cipher;
  cppcrypto::ctr mode(cipher);
  mode.init(k_key.data(), k_key.size(), k_iv.data(), k_iv.size());
  unsigned char skipped[5];
  mode.encrypt(k_plaintext.data(), 5, skipped);

  std::unique_ptr<cppcrypto::stream_cipher> copy(mode.clone());
  copy->init(k_key.data(), k_key.size(), k_iv.data(), k_iv.size());
  std::vector<unsigned char> out(k_plaintext.size());
  copy->encrypt(k_plaintext.data(), k_plaintext.size(), out.data());
  EXPECT_EQ(to_hex(out), k_ciphertext);
}

TEST(Ctr, RejectsLengthsThatWouldOverrunBuffers) {
  cppcrypto::kuznyechik cipher;
  cppcrypto::ctr mode(cipher);
  const std::vector<unsigned char> long_iv(17, 1);
  EXPECT_THROW(mode.init(k_key.data(), k_key.size(), long_iv.data(), long_iv.size()),
               std::invalid_argument);
  EXPECT_THROW(mode.init(k_key.data(), 16, k_iv.data(), k_iv.size()), std::invalid_argument);
  const std::vector<unsigned char> full_iv(16, 1);
  EXPECT_NO_THROW(mode.init(k_key.data(), k_key.size(), full_iv.data(), full_iv.size()));
}

}  // namespace
