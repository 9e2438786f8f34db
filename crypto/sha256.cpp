#include "crypto/sha256.h"

#include "crypto/cpuinfo.h"
#include "crypto/sha256_blocks.h"

#include <cstring>
#include <new>

namespace cppcrypto {

namespace {

constexpr std::align_val_t k_state_alignment{32};

constexpr uint32_t k_initial_state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

void sse2_blocks(const unsigned char* data, uint32_t* state, size_t blocks) {
  X86_SHA256_HashBlocks(state, data, blocks * 64);
}

}  // namespace

sha256_block_kind sha256_block_choice(const cpu_info::cpu_info_impl& cpu, size_t blocks) {
  if (cpu.avx2() && cpu.bmi2())
    return blocks < 2 ? sha256_block_kind::sse4 : sha256_block_kind::rorx;
  if (cpu.sse41())
    return sha256_block_kind::sse4;
  if (cpu.sse2())
    return sha256_block_kind::sse2;
  return sha256_block_kind::portable;
}

sha256_block_fn sha256_block_function(sha256_block_kind kind) {
  switch (kind) {
  case sha256_block_kind::rorx:
    return &_sha256_rorx;
  case sha256_block_kind::sse4:
    return &_sha256_sse4;
  case sha256_block_kind::sse2:
    return &sse2_blocks;
  case sha256_block_kind::portable:
    break;
  }
  return &sha256_transform;
}

void sha256::aligned_state_deleter::operator()(uint32_t* state) const noexcept {
  ::operator delete[](state, k_state_alignment);
}

sha256::sha256()
    : H(static_cast<uint32_t*>(::operator new[](8 * sizeof(uint32_t), k_state_alignment))) {
  const sha256_block_fn one = sha256_block_function(sha256_block_choice(cpu_info::impl_, 1));
  const sha256_block_fn many = sha256_block_function(sha256_block_choice(cpu_info::impl_, 2));
  std::memset(H.get(), 0, 8 * sizeof(uint32_t));
  transfunc = [this, one, many](const unsigned char* data, size_t blocks) {
    (blocks < 2 ? one : many)(data, H.get(), blocks);
  };
}

sha256::~sha256() { clear(); }

void sha256::init() {
  std::memcpy(H.get(), k_initial_state, sizeof k_initial_state);
  pos = 0;
  total = 0;
}

void sha256::update(const unsigned char* data, size_t len) {
  if (pos != 0 && pos + len >= 64) {
    const size_t fill = 64 - pos;
    std::memcpy(m + pos, data, fill);
    transfunc(m, 1);
    total += fill * 8;
    data += fill;
    len -= fill;
    pos = 0;
  }
  if (len >= 64) {
    const size_t blocks = len / 64;
    transfunc(data, blocks);
    total += static_cast<uint64_t>(blocks) * 512;
    data += blocks * 64;
    len -= blocks * 64;
  }
  if (len != 0) {
    std::memcpy(m + pos, data, len);
    pos += len;
    total += len * 8;
  }
}

void sha256::final(unsigned char* hash) {
  m[pos++] = 0x80;
  if (pos > 56) {
    std::memset(m + pos, 0, 64 - pos);
    transfunc(m, 1);
    pos = 0;
  }
  std::memset(m + pos, 0, 56 - pos);
  for (int i = 0; i < 8; ++i)
    m[56 + i] = static_cast<unsigned char>(total >> (56 - 8 * i));
  transfunc(m, 1);
  for (int i = 0; i < 8; ++i) {
    const uint32_t word = H[i];
    hash[4 * i] = static_cast<unsigned char>(word >> 24);
    hash[4 * i + 1] = static_cast<unsigned char>(word >> 16);
    hash[4 * i + 2] = static_cast<unsigned char>(word >> 8);
    hash[4 * i + 3] = static_cast<unsigned char>(word);
  }
}

crypto_hash* sha256::clone() const { return new sha256; }

void sha256::clear() {
  zero_memory(H.get(), 8 * sizeof(uint32_t));
  zero_memory(m, sizeof m);
}

}  // namespace cppcrypto
