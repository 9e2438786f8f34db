#pragma once

// Round macros shared by the block functions; each compiles them with its own instruction set
// (BMI2 turns the rotations into rorx).
//
// The round adds h's two halves separately (d += T1 first) so the e chain does not wait for
// Sigma0 and Maj. Maj is written ((a ^ b) & (b ^ c)) ^ b: a ^ b of one round is b ^ c of the
// next, which the compiler reuses. Ch is written g ^ (e & (f ^ g)): f ^ g does not wait for e,
// and it needs no and-not instruction.

#include <bit>
#include <cstdint>
#include <cstring>

#define KV_SHA256_ROUND(a, b, c, d, e, f, g, h, kw)                                            \
  do {                                                                                         \
    (h) += (kw) + (std::rotr((e), 6) ^ std::rotr((e), 11) ^ std::rotr((e), 25)) +              \
           ((g) ^ ((e) & ((f) ^ (g))));                                                        \
    (d) += (h);                                                                                \
    (h) += (std::rotr((a), 2) ^ std::rotr((a), 13) ^ std::rotr((a), 22)) +                     \
           ((((a) ^ (b)) & ((b) ^ (c))) ^ (b));                                                \
  } while (false)

// Rounds 0-3 and 4-7 of every eight, for state variables a..h; kw points at four W+K words.
#define KV_SHA256_4ROUNDS_A(kw)                                                                \
  do {                                                                                         \
    KV_SHA256_ROUND(a, b, c, d, e, f, g, h, (kw)[0]);                                          \
    KV_SHA256_ROUND(h, a, b, c, d, e, f, g, (kw)[1]);                                          \
    KV_SHA256_ROUND(g, h, a, b, c, d, e, f, (kw)[2]);                                          \
    KV_SHA256_ROUND(f, g, h, a, b, c, d, e, (kw)[3]);                                          \
  } while (false)

#define KV_SHA256_4ROUNDS_B(kw)                                                                \
  do {                                                                                         \
    KV_SHA256_ROUND(e, f, g, h, a, b, c, d, (kw)[0]);                                          \
    KV_SHA256_ROUND(d, e, f, g, h, a, b, c, (kw)[1]);                                          \
    KV_SHA256_ROUND(c, d, e, f, g, h, a, b, (kw)[2]);                                          \
    KV_SHA256_ROUND(b, c, d, e, f, g, h, a, (kw)[3]);                                          \
  } while (false)

namespace cppcrypto::sha256_detail {

inline uint32_t load_be32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return __builtin_bswap32(v);
}

}  // namespace cppcrypto::sha256_detail
