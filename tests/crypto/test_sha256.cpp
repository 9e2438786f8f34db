#include "crypto/crypto_hash.h"
#include "crypto/hmac.h"
#include "crypto/sha256.h"
#include "crypto/sha256_blocks.h"

#include "common/kv_utils_general.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace {

using cppcrypto::cpu_info;
using cppcrypto::sha256_block_kind;
constexpr auto to_hex = &kv_utils_common::digest_as_string;

std::string digest_in_two_updates(const std::string& message, size_t split) {
  cppcrypto::sha256 hash;
  hash.init();
  const auto* data = reinterpret_cast<const unsigned char*>(message.data());
  hash.update(data, split);
  hash.update(data + split, message.size() - split);
  unsigned char out[32];
  hash.final(out);
  return to_hex(out, sizeof out);
}

// FIPS 180-4 examples and the padding boundaries: 55 bytes leave room for the length, 56 do not,
// 64 fill a block. Short messages are also cut at every point, so a partial block meets the next update.
TEST(Sha256, KnownAnswers) {
  const std::pair<std::string, const char*> rows[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& [message, digest] : rows)
    for (size_t split = 0; split <= (message.size() > 200 ? 0 : message.size()); ++split)
      ASSERT_EQ(digest_in_two_updates(message, split), digest) << message.size() << " bytes split at " << split;

  cppcrypto::sha256 hash;
  unsigned char out[32];
  hash.hash_string(std::string("abc"), out);
  EXPECT_EQ(to_hex(out, 32), rows[1].second);
}

// Every accelerated block function against the portable one, on unaligned data, with an odd count of blocks.
TEST(Sha256, BlockFunctionsMatchThePortableOne) {
  const auto& cpu = cpu_info::impl_;
  const std::pair<sha256_block_kind, bool> kinds[] = {
      {sha256_block_kind::sse2, cpu.sse2()},
      {sha256_block_kind::sse4, cpu.sse41()},
      {sha256_block_kind::rorx, cpu.avx2() && cpu.bmi2() && cpu.sse41()}};
  std::mt19937 random(7);
  std::vector<unsigned char> data(64 * 9 + 1);
  for (auto& byte : data) byte = static_cast<unsigned char>(random());
  for (const auto& [kind, available] : kinds) {
    if (!available) continue;
    for (const size_t blocks : {1, 2, 9}) {
      uint32_t expected[8] = {1, 2, 3, 4, 5, 6, 7, 8};
      uint32_t actual[8];
      std::memcpy(actual, expected, sizeof actual);
      cppcrypto::sha256_transform(data.data() + 1, expected, blocks);
      cppcrypto::sha256_block_function(kind)(data.data() + 1, actual, blocks);
      EXPECT_EQ(std::vector<uint32_t>(actual, actual + 8), std::vector<uint32_t>(expected, expected + 8))
          << static_cast<int>(kind) << ", " << blocks << " blocks";
    }
  }
}

// The first matching feature wins; AVX code faults unless the system saves the YMM registers.
TEST(Sha256, BlockFunctionChoice) {
  constexpr uint32_t sse2 = 1U << 26, sse41 = 1U << 19, avx2 = 1U << 5, bmi2 = 1U << 8, ymm = 1U << 27;
  const auto cpu = [](uint32_t edx1, uint32_t ecx1, uint32_t ebx7) {
    cpu_info::cpu_info_impl features;
    features.edx1_ = edx1, features.ecx1_ = ecx1, features.ebx7_ = ebx7, features.xcr0_ = 0x7;
    return features;
  };
  using kind = sha256_block_kind;
  const std::tuple<cpu_info::cpu_info_impl, kind, kind> rows[] = {
      {cpu(0, 0, 0), kind::portable, kind::portable},
      {cpu(sse2, 0, 0), kind::sse2, kind::sse2},
      {cpu(sse2, sse41, 0), kind::sse4, kind::sse4},
      {cpu(sse2, sse41 | ymm, avx2 | bmi2), kind::sse4, kind::rorx},
      {cpu(sse2, sse41 | ymm, avx2), kind::sse4, kind::sse4},
      {cpu(sse2, sse41, avx2 | bmi2), kind::sse4, kind::sse4},
  };
  for (const auto& [features, one_block, two_blocks] : rows) {
    EXPECT_EQ(cppcrypto::sha256_block_choice(features, 1), one_block) << features.ecx1_ << " " << features.ebx7_;
    EXPECT_EQ(cppcrypto::sha256_block_choice(features, 2), two_blocks) << features.ecx1_ << " " << features.ebx7_;
  }
}

// The features read with CPUID, against the kernel's own reading in /proc/cpuinfo.
TEST(Sha256, ProcessorFeaturesAgreeWithTheKernel) {
  std::ifstream in("/proc/cpuinfo");
  std::string flags;
  for (std::string line; flags.empty() && std::getline(in, line);)
    if (line.rfind("flags", 0) == 0) flags = line.substr(line.find(':') + 1) + " ";
  if (flags.empty()) GTEST_SKIP() << "/proc/cpuinfo has no flags line";
  const auto has = [&](const std::string& flag) { return flags.find(" " + flag + " ") != std::string::npos; };
  const auto& cpu = cpu_info::impl_;
  EXPECT_EQ(cpu.sse2(), has("sse2"));
  EXPECT_EQ(cpu.sse41(), has("sse4_1"));
  EXPECT_EQ(cpu.bmi2(), has("bmi2"));
  EXPECT_EQ(cpu.avx2(), has("avx2"));
}

// RFC 4231 cases 2 and 6 (a key longer than a block is hashed first) and a key of exactly one
// block, which is used as it is; each digest comes from a clone taken in the middle of a message,
// which starts from the key alone.
TEST(Hmac, KnownAnswers) {
  std::string block_key;
  for (int i = 0; i < 64; ++i) block_key += static_cast<char>(i);
  const std::vector<std::vector<std::string>> rows = {
      {"Jefe", "what do ya want for nothing?", "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {block_key, "message", "eb97f15211c02e38e3213edb045e8301601867c1cd49df01c687eb04f8909e98"},
  };
  for (const auto& row : rows) {
    cppcrypto::hmac mac(cppcrypto::sha256(), row[0]);
    mac.init();
    mac.update(reinterpret_cast<const unsigned char*>("prefix"), 6);
    const std::unique_ptr<cppcrypto::crypto_hash> copy(mac.clone());
    unsigned char out[32];
    copy->hash_string(row[1], out);
    EXPECT_EQ(to_hex(out, sizeof out), row[2]) << row[0].size() << "-byte key";
  }
}

TEST(Sha256, HashSizeChecks) {
  struct checks : cppcrypto::sha256 {
    using cppcrypto::crypto_hash::validate_hash_size;
  };
  EXPECT_THROW(checks::validate_hash_size(232, {224, 256}), std::runtime_error);
  EXPECT_NO_THROW(checks::validate_hash_size(256, 512));
}

}  // namespace
