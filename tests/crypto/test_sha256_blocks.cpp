#include "crypto/sha256_blocks.h"

#include "tests/crypto/hex_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using cppcrypto::cpu_info;
using cppcrypto::sha256_block_kind;

constexpr uint32_t k_initial_state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

struct block_function {
  const char* name;
  sha256_block_kind kind;
  bool (*available)(const cpu_info::cpu_info_impl&);
  const char* missing;
};

const block_function k_block_functions[] = {
    {"portable", sha256_block_kind::portable, [](const cpu_info::cpu_info_impl&) { return true; },
     ""},
    {"sse2", sha256_block_kind::sse2, [](const cpu_info::cpu_info_impl& c) { return c.sse2(); },
     "this processor has no SSE2"},
    {"sse4", sha256_block_kind::sse4, [](const cpu_info::cpu_info_impl& c) { return c.sse41(); },
     "this processor has no SSE4.1"},
    {"rorx", sha256_block_kind::rorx,
     [](const cpu_info::cpu_info_impl& c) { return c.avx2() && c.bmi2() && c.sse41(); },
     "this processor (or its operating system) offers no AVX2 with BMI2"},
};

// Pads a message the way the hash's final step does, so the block functions can be checked
// against published digests on their own.
std::vector<unsigned char> padded(const std::string& message) {
  std::vector<unsigned char> blocks(message.begin(), message.end());
  blocks.push_back(0x80);
  while (blocks.size() % 64 != 56)
    blocks.push_back(0);
  const uint64_t bits = static_cast<uint64_t>(message.size()) * 8;
  for (int i = 7; i >= 0; --i)
    blocks.push_back(static_cast<unsigned char>(bits >> (8 * i)));
  return blocks;
}

std::string state_hex(const uint32_t* state) {
  unsigned char out[32];
  for (int i = 0; i < 8; ++i) {
    out[4 * i] = static_cast<unsigned char>(state[i] >> 24);
    out[4 * i + 1] = static_cast<unsigned char>(state[i] >> 16);
    out[4 * i + 2] = static_cast<unsigned char>(state[i] >> 8);
    out[4 * i + 3] = static_cast<unsigned char>(state[i]);
  }
  return crypto_test::to_hex(out, sizeof out);
}

class Sha256BlockFunction : public testing::TestWithParam<block_function> {
protected:
  void SetUp() override {
    if (!GetParam().available(cpu_info::impl_))
      GTEST_SKIP() << GetParam().missing;
    m_function = cppcrypto::sha256_block_function(GetParam().kind);
  }

  cppcrypto::sha256_block_fn m_function = nullptr;
};

TEST_P(Sha256BlockFunction, DigestsPublishedMessages) {
  struct known {
    std::string message;
    const char* digest;
  };
  const known cases[] = {
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrl"
       "mnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      // Three and four blocks: the two-block function's odd remainder and its pairs.
      {std::string(150, 'q'), "89b4b3c2123ba325e18c84d76e9c0cc3f0a4e7df9de2f13af4e58634429ced7e"},
      {std::string(200, 'q'), "ff550476527be4d27b596094d6cc4f8f127bbae50525e1747563ef63d4dc1448"},
  };
  for (const auto& c : cases) {
    const std::vector<unsigned char> blocks = padded(c.message);
    uint32_t state[8];
    std::memcpy(state, k_initial_state, sizeof state);
    m_function(blocks.data(), state, blocks.size() / 64);
    EXPECT_EQ(state_hex(state), c.digest) << c.message.size() << " bytes";
  }
}

TEST_P(Sha256BlockFunction, MatchesThePortableFunctionOnRandomInput) {
  std::mt19937 random(7);
  std::uniform_int_distribution<uint32_t> word;
  // One byte more than needed, so the data can start at an odd address.
  std::vector<unsigned char> data(64 * 40 + 1);
  for (auto& byte : data)
    byte = static_cast<unsigned char>(word(random));

  for (const size_t offset : {size_t{0}, size_t{1}}) {
    for (const size_t blocks : {0, 1, 2, 3, 4, 5, 7, 8, 9, 16, 33, 40}) {
      uint32_t expected[8];
      for (auto& w : expected)
        w = word(random);
      uint32_t actual[8];
      std::memcpy(actual, expected, sizeof actual);

      cppcrypto::sha256_transform(data.data() + offset, expected, blocks);
      m_function(data.data() + offset, actual, blocks);
      EXPECT_EQ(state_hex(actual), state_hex(expected))
          << blocks << " blocks at offset " << offset;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, Sha256BlockFunction, testing::ValuesIn(k_block_functions),
                         [](const testing::TestParamInfo<block_function>& param_info) {
                           return std::string(param_info.param.name);
                         });

TEST(Sha256BlockFunction, ByteLengthEntryTakesWholeBlocks) {
  if (!cpu_info::impl_.sse2())
    GTEST_SKIP() << "this processor has no SSE2";
  const std::vector<unsigned char> blocks = padded("abc");
  uint32_t state[8];
  std::memcpy(state, k_initial_state, sizeof state);
  cppcrypto::X86_SHA256_HashBlocks(state, blocks.data(), blocks.size());
  EXPECT_EQ(state_hex(state), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// Processor feature records as CPUID would fill them.
cpu_info::cpu_info_impl features(bool sse2, bool sse41, bool avx2, bool bmi2, bool os_ymm) {
  cpu_info::cpu_info_impl cpu;
  if (sse2)
    cpu.edx1_ |= 1U << 26;
  if (sse41)
    cpu.ecx1_ |= 1U << 19;
  if (avx2)
    cpu.ebx7_ |= 1U << 5;
  if (bmi2)
    cpu.ebx7_ |= 1U << 8;
  if (os_ymm) {
    cpu.ecx1_ |= 1U << 27;
    cpu.xcr0_ = 0x7;
  }
  return cpu;
}

TEST(Sha256BlockChoice, FirstMatchingFeatureWins) {
  struct row {
    const char* name;
    cpu_info::cpu_info_impl cpu;
    sha256_block_kind one_block;
    sha256_block_kind many_blocks;
  };
  const row rows[] = {
      {"nothing", features(false, false, false, false, false), sha256_block_kind::portable,
       sha256_block_kind::portable},
      {"sse2", features(true, false, false, false, false), sha256_block_kind::sse2,
       sha256_block_kind::sse2},
      {"sse4.1", features(true, true, false, false, false), sha256_block_kind::sse4,
       sha256_block_kind::sse4},
      {"avx2 and bmi2", features(true, true, true, true, true), sha256_block_kind::sse4,
       sha256_block_kind::rorx},
      {"avx2 without bmi2", features(true, true, true, false, true), sha256_block_kind::sse4,
       sha256_block_kind::sse4},
      {"bmi2 without avx2", features(true, true, false, true, true), sha256_block_kind::sse4,
       sha256_block_kind::sse4},
      // AVX code raises an invalid-opcode fault unless the system saves the YMM registers.
      {"avx2 and bmi2, system without ymm state", features(true, true, true, true, false),
       sha256_block_kind::sse4, sha256_block_kind::sse4},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(cppcrypto::sha256_block_choice(r.cpu, 0), r.one_block) << r.name;
    EXPECT_EQ(cppcrypto::sha256_block_choice(r.cpu, 1), r.one_block) << r.name;
    EXPECT_EQ(cppcrypto::sha256_block_choice(r.cpu, 2), r.many_blocks) << r.name;
    EXPECT_EQ(cppcrypto::sha256_block_choice(r.cpu, 1000), r.many_blocks) << r.name;
  }
}

TEST(Sha256BlockChoice, KindsNameTheirFunctions) {
  EXPECT_EQ(cppcrypto::sha256_block_function(sha256_block_kind::portable),
            &cppcrypto::sha256_transform);
  EXPECT_EQ(cppcrypto::sha256_block_function(sha256_block_kind::sse4), &cppcrypto::_sha256_sse4);
  EXPECT_EQ(cppcrypto::sha256_block_function(sha256_block_kind::rorx), &cppcrypto::_sha256_rorx);
}

}  // namespace
