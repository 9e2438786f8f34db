#include "crypto/crypto_hash.h"

#include "crypto/sha256.h"
#include "tests/crypto/hex_util.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

namespace {

// Reaches the size checks, which only hash implementations call.
class size_checks : public cppcrypto::sha256 {
public:
  using cppcrypto::crypto_hash::validate_hash_size;
};

std::string error_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(CryptoHash, ValidateHashSize) {
  EXPECT_EQ(error_of([] { size_checks::validate_hash_size(0, 512); }), "hash size can't be zero");
  EXPECT_EQ(error_of([] { size_checks::validate_hash_size(12, 512); }),
            "cppcrypto does not support non-byte hash sizes");
  EXPECT_EQ(error_of([] { size_checks::validate_hash_size(520, 512); }), "invalid hash size");
  EXPECT_EQ(error_of([] { size_checks::validate_hash_size(512, 512); }), "");
  EXPECT_EQ(error_of([] { size_checks::validate_hash_size(0, {224, 256}); }),
            "hash size can't be zero");
  EXPECT_EQ(error_of([] { size_checks::validate_hash_size(255, {224, 256}); }),
            "cppcrypto does not support non-byte hash sizes");
  EXPECT_EQ(error_of([] { size_checks::validate_hash_size(232, {224, 256}); }),
            "invalid hash size");
  EXPECT_EQ(error_of([] { size_checks::validate_hash_size(224, {224, 256}); }), "");
}

TEST(CryptoHash, HashStringOverloadsAgree) {
  cppcrypto::sha256 hash;
  const std::string text = "abc";
  unsigned char a[32];
  unsigned char b[32];
  unsigned char c[32];
  hash.hash_string(text, a);
  hash.hash_string(text.data(), text.size(), b);
  hash.hash_string(reinterpret_cast<const unsigned char*>(text.data()), text.size(), c);
  const std::string expected = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  EXPECT_EQ(crypto_test::to_hex(a, 32), expected);
  EXPECT_EQ(crypto_test::to_hex(b, 32), expected);
  EXPECT_EQ(crypto_test::to_hex(c, 32), expected);
}

}  // namespace
