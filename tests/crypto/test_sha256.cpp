#include "crypto/sha256.h"

#include "tests/crypto/hex_util.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using crypto_test::bytes;
using crypto_test::to_hex;

std::string digest_hex(cppcrypto::crypto_hash& hash, const std::vector<unsigned char>& message) {
  unsigned char out[32];
  hash.hash_string(message.data(), message.size(), out);
  return to_hex(out, sizeof out);
}

// Bytes whose value depends on their position, so a block hashed twice or skipped shows.
std::vector<unsigned char> counting_message(size_t len) {
  std::vector<unsigned char> m(len);
  for (size_t i = 0; i < len; ++i)
    m[i] = static_cast<unsigned char>(i * 7 + 3);
  return m;
}

struct sha256_vector {
  const char* name;
  std::vector<unsigned char> message;
  const char* digest;
};

std::vector<sha256_vector> vectors() {
  return {
      {"empty", {}, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", bytes("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"fips_56_bytes", bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"fips_112_bytes",
       bytes("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnop"
             "qrlmnopqrsmnopqrstnopqrstu"),
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {"55_bytes", counting_message(55),
       "e7313d333c272e639f790978283f9eb392e843d0f29b7016828bb1daa4aac70b"},
      {"56_bytes", counting_message(56),
       "4324d65f3c103567f5589c710bc08f8523f929a9272e3af36fc968e52abc6c27"},
      {"63_bytes", counting_message(63),
       "81c80242132f230c3bd41b3e63bbcff16107339549214a99614ff26664625055"},
      {"64_bytes", counting_message(64),
       "39e3d7b6b5d075d37d053ad89b24b41bef4f3c29760c84447cab3f3be1882241"},
      {"65_bytes", counting_message(65),
       "aacca6ff74fdbb296d165a45cecfa04e5127bc008770fbbdd48006f2d2fae95e"},
      {"million_a", std::vector<unsigned char>(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
}

TEST(Sha256, KnownAnswers) {
  cppcrypto::sha256 hash;
  for (const auto& v : vectors())
    EXPECT_EQ(digest_hex(hash, v.message), v.digest) << v.name;
}

TEST(Sha256, EverySplitIntoTwoUpdatesGivesTheSameDigest) {
  cppcrypto::sha256 hash;
  for (const auto& v : vectors()) {
    if (v.message.size() > 200)
      continue;
    for (size_t split = 0; split <= v.message.size(); ++split) {
      hash.init();
      hash.update(v.message.data(), split);
      hash.update(v.message.data() + split, v.message.size() - split);
      unsigned char out[32];
      hash.final(out);
      ASSERT_EQ(to_hex(out, sizeof out), v.digest) << v.name << " split at " << split;
    }
  }
}

TEST(Sha256, RandomChunksOfAMillionBytesGiveTheSameDigest) {
  const std::vector<unsigned char> message(1000000, 'a');
  std::mt19937 random(20240607);
  cppcrypto::sha256 hash;
  for (int round = 0; round < 4; ++round) {
    // Chunks from single bytes to several blocks, so partial blocks meet whole-block runs.
    std::uniform_int_distribution<size_t> chunk(0, round == 0 ? 3 : 64 * (round * 40));
    hash.init();
    size_t done = 0;
    while (done < message.size()) {
      const size_t len = std::min(chunk(random), message.size() - done);
      hash.update(message.data() + done, len);
      done += len;
    }
    unsigned char out[32];
    hash.final(out);
    EXPECT_EQ(to_hex(out, sizeof out),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0")
        << "round " << round;
  }
}

TEST(Sha256, InitStartsANewMessageAfterFinal) {
  cppcrypto::sha256 hash;
  unsigned char out[32];
  hash.hash_string(std::string(1000, 'x'), out);
  hash.hash_string(std::string("abc"), out);
  EXPECT_EQ(to_hex(out, sizeof out),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  hash.init();
  hash.update(reinterpret_cast<const unsigned char*>("ab"), 2);
  hash.init();
  hash.update(reinterpret_cast<const unsigned char*>("abc"), 3);
  hash.final(out);
  EXPECT_EQ(to_hex(out, sizeof out),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Sha256, CloneStartsFreshAndIsIndependent) {
  cppcrypto::sha256 hash;
  hash.init();
  hash.update(reinterpret_cast<const unsigned char*>("prefix that the clone must not see"), 34);

  std::unique_ptr<cppcrypto::crypto_hash> copy(hash.clone());
  EXPECT_EQ(copy->hashsize(), 256U);
  EXPECT_EQ(copy->blocksize(), 512U);
  unsigned char out[32];
  copy->hash_string(std::string("abc"), out);
  EXPECT_EQ(to_hex(out, sizeof out),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  // The original still carries its own prefix.
  hash.final(out);
  cppcrypto::sha256 reference;
  unsigned char expected[32];
  reference.hash_string(std::string("prefix that the clone must not see"), expected);
  EXPECT_EQ(to_hex(out, sizeof out), to_hex(expected, sizeof expected));
}

TEST(Sha256, ClearedObjectWorksAfterInit) {
  cppcrypto::sha256 hash;
  hash.init();
  hash.update(reinterpret_cast<const unsigned char*>("abc"), 3);
  hash.clear();
  unsigned char out[32];
  hash.hash_string(std::string("abc"), out);
  EXPECT_EQ(to_hex(out, sizeof out),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
