#pragma once

// The SHA-256 block functions. Each applies the compression function to consecutive 64-byte
// blocks (message words big-endian) and updates the 8 state words in place; they differ only in
// the processor instructions they use and must give identical results.

#include "crypto/cpuinfo.h"

#include <cstddef>
#include <cstdint>

namespace cppcrypto {

alignas(64) inline constexpr uint32_t k_sha256_round_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// Portable C++, any processor.
void sha256_transform(const unsigned char* data, uint32_t* state, size_t blocks);
// SSE2 message schedule; takes the length in bytes (a multiple of 64).
void X86_SHA256_HashBlocks(uint32_t* state, const unsigned char* data, size_t length);
// SSSE3/SSE4.1 message schedule.
void _sha256_sse4(const unsigned char* data, uint32_t* state, size_t blocks);
// AVX2 schedule of two blocks at once and BMI2 rotations in the rounds; an odd last block goes
// to _sha256_sse4.
void _sha256_rorx(const unsigned char* data, uint32_t* state, size_t blocks);

enum class sha256_block_kind { portable, sse2, sse4, rorx };

// The block function a call for `blocks` blocks goes to on a processor with these features:
// the AVX2 one only pays off from two blocks on.
[[nodiscard]] sha256_block_kind sha256_block_choice(const cpu_info::cpu_info_impl& cpu,
                                                    size_t blocks);

using sha256_block_fn = void (*)(const unsigned char* data, uint32_t* state, size_t blocks);
[[nodiscard]] sha256_block_fn sha256_block_function(sha256_block_kind kind);

}  // namespace cppcrypto
