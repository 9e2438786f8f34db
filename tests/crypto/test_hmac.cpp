#include "crypto/hmac.h"

#include "crypto/sha256.h"
#include "tests/crypto/hex_util.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using crypto_test::bytes;
using crypto_test::from_hex;
using crypto_test::to_hex;

std::string hmac_hex(const std::vector<unsigned char>& key, const std::vector<unsigned char>& data) {
  cppcrypto::sha256 inner;
  cppcrypto::hmac mac(inner, key.data(), key.size());
  unsigned char out[32];
  mac.hash_string(data.data(), data.size(), out);
  return to_hex(out, sizeof out);
}

struct hmac_vector {
  const char* name;
  std::vector<unsigned char> key;
  std::vector<unsigned char> data;
  std::string digest;  // a shorter digest is compared as a prefix (truncated output)
};

std::vector<unsigned char> key_of(size_t len) {
  std::vector<unsigned char> key(len);
  for (size_t i = 0; i < len; ++i)
    key[i] = static_cast<unsigned char>(i);
  return key;
}

std::vector<hmac_vector> vectors() {
  return {
      {"rfc4231_1", std::vector<unsigned char>(20, 0x0b), bytes("Hi There"),
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"rfc4231_2", bytes("Jefe"), bytes("what do ya want for nothing?"),
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {"rfc4231_3", std::vector<unsigned char>(20, 0xaa), std::vector<unsigned char>(50, 0xdd),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {"rfc4231_4", from_hex("0102030405060708090a0b0c0d0e0f10111213141516171819"),
       std::vector<unsigned char>(50, 0xcd),
       "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {"rfc4231_5", std::vector<unsigned char>(20, 0x0c), bytes("Test With Truncation"),
       "a3b6167473100ee06e0c796c2955552b"},
      {"rfc4231_6", std::vector<unsigned char>(131, 0xaa),
       bytes("Test Using Larger Than Block-Size Key - Hash Key First"),
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {"rfc4231_7", std::vector<unsigned char>(131, 0xaa),
       bytes("This is a test using a larger than block-size key and a larger than block-size data. "
             "The key needs to be hashed before being used by the HMAC algorithm."),
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
      {"empty_key_and_message", {}, {},
       "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"},
      {"key_of_one_block_used_as_is", key_of(64), bytes("message"),
       "eb97f15211c02e38e3213edb045e8301601867c1cd49df01c687eb04f8909e98"},
      {"key_one_byte_over_a_block_hashed", key_of(65), bytes("message"),
       "2d55f05a56fff8d5ba47a50eb1c006240377002f70e09d8862f8a5cb1c880e4a"},
  };
}

TEST(Hmac, KnownAnswers) {
  for (const auto& v : vectors())
    EXPECT_EQ(hmac_hex(v.key, v.data).substr(0, v.digest.size()), v.digest) << v.name;
}

TEST(Hmac, StringKeyConstructorMatchesBytes) {
  cppcrypto::sha256 inner;
  cppcrypto::hmac mac(inner, std::string("Jefe"));
  unsigned char out[32];
  mac.hash_string(std::string("what do ya want for nothing?"), out);
  EXPECT_EQ(to_hex(out, sizeof out),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(mac.hashsize(), 256U);
  EXPECT_EQ(mac.blocksize(), 512U);
}

TEST(Hmac, EverySplitIntoTwoUpdatesGivesTheSameDigest) {
  const hmac_vector v = vectors()[6];
  cppcrypto::sha256 inner;
  cppcrypto::hmac mac(inner, v.key.data(), v.key.size());
  for (size_t split = 0; split <= v.data.size(); ++split) {
    mac.init();
    mac.update(v.data.data(), split);
    mac.update(v.data.data() + split, v.data.size() - split);
    unsigned char out[32];
    mac.final(out);
    ASSERT_EQ(to_hex(out, sizeof out), v.digest) << "split at " << split;
  }
}

TEST(Hmac, CloneInTheMiddleOfAMessageStartsFromTheKeyOnly) {
  cppcrypto::sha256 inner;
  cppcrypto::hmac mac(inner, std::string("Jefe"));
  mac.init();
  mac.update(reinterpret_cast<const unsigned char*>("what do ya "), 11);

  std::unique_ptr<cppcrypto::crypto_hash> copy(mac.clone());
  unsigned char out[32];
  copy->hash_string(std::string("what do ya want for nothing?"), out);
  EXPECT_EQ(to_hex(out, sizeof out),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");

  // The original's running message is untouched by the clone's work.
  mac.update(reinterpret_cast<const unsigned char*>("want for nothing?"), 17);
  mac.final(out);
  EXPECT_EQ(to_hex(out, sizeof out),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

TEST(Hmac, ReusedAfterFinalWithInit) {
  cppcrypto::sha256 inner;
  cppcrypto::hmac mac(inner, std::vector<unsigned char>(20, 0x0b).data(), 20);
  unsigned char out[32];
  mac.hash_string(std::string("something else first"), out);
  mac.hash_string(std::string("Hi There"), out);
  EXPECT_EQ(to_hex(out, sizeof out),
            "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
}

}  // namespace
