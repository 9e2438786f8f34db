#include "crypto/sha256_blocks.h"
#include "crypto/sha256_rounds.h"

#include <immintrin.h>

#include <array>

// Two blocks at a time: the low 128-bit lane of each YMM register carries the first block's
// message schedule, the high lane the second's, so one schedule pass serves both. The first
// block's rounds run interleaved with that pass; the second block's rounds then only read the
// W+K words already stored. With BMI2 the rotations of the rounds become rorx, which leaves its
// source intact and saves the register copies ror needs.

namespace cppcrypto {

namespace {

#define KV_AVX2 __attribute__((target("avx2,bmi2")))
#define KV_ALWAYS_INLINE inline __attribute__((always_inline))

// Round constants in the layout of the stored schedule: four constants for the first block,
// the same four for the second, and so on.
alignas(32) constexpr std::array<uint32_t, 128> k_round_constants_twice = [] {
  std::array<uint32_t, 128> k{};
  for (size_t i = 0; i < 64; ++i) {
    k[(i / 4) * 8 + i % 4] = k_sha256_round_constants[i];
    k[(i / 4) * 8 + 4 + i % 4] = k_sha256_round_constants[i];
  }
  return k;
}();

KV_AVX2 KV_ALWAYS_INLINE __m256i small_sigma0(__m256i x) {
  const __m256i r7 = _mm256_xor_si256(_mm256_srli_epi32(x, 7), _mm256_slli_epi32(x, 25));
  const __m256i r18 = _mm256_xor_si256(_mm256_srli_epi32(x, 18), _mm256_slli_epi32(x, 14));
  return _mm256_xor_si256(_mm256_xor_si256(r7, r18), _mm256_srli_epi32(x, 3));
}

// xx holds {x, x, y, y} per lane; lanes 0 and 2 of the result hold sigma1(x) and sigma1(y).
KV_AVX2 KV_ALWAYS_INLINE __m256i small_sigma1_pair(__m256i xx) {
  return _mm256_xor_si256(_mm256_xor_si256(_mm256_srli_epi64(xx, 17), _mm256_srli_epi64(xx, 19)),
                          _mm256_srli_epi32(xx, 10));
}

// Per 128-bit lane: W[t..t+3] from W[t-16..t-13], W[t-15..t-12], W[t-7..t-4] and prev, whose
// words 2 and 3 are W[t-2] and W[t-1].
KV_AVX2 KV_ALWAYS_INLINE __m256i schedule4(__m256i w16, __m256i w15, __m256i w7, __m256i prev) {
  const __m256i zero = _mm256_setzero_si256();
  __m256i w = _mm256_add_epi32(_mm256_add_epi32(w16, w7), small_sigma0(w15));
  __m256i s1 = small_sigma1_pair(_mm256_shuffle_epi32(prev, _MM_SHUFFLE(3, 3, 2, 2)));
  w = _mm256_add_epi32(
      w, _mm256_unpacklo_epi64(_mm256_shuffle_epi32(s1, _MM_SHUFFLE(3, 3, 2, 0)), zero));
  s1 = small_sigma1_pair(_mm256_shuffle_epi32(w, _MM_SHUFFLE(1, 1, 0, 0)));
  return _mm256_add_epi32(
      w, _mm256_unpacklo_epi64(zero, _mm256_shuffle_epi32(s1, _MM_SHUFFLE(3, 3, 2, 0))));
}

KV_AVX2 KV_ALWAYS_INLINE __m256i next4(__m256i hi, __m256i lo) {
  return _mm256_alignr_epi8(hi, lo, 4);
}

// Words 4i..4i+3 of the first block in the low lane, of the second block in the high lane.
KV_AVX2 KV_ALWAYS_INLINE __m256i load_be_pair(const unsigned char* first, int i) {
  const __m256i swap = _mm256_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3,
                                       12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
  const auto* p = reinterpret_cast<const __m128i*>(first + 16 * i);
  const auto* q = reinterpret_cast<const __m128i*>(first + 64 + 16 * i);
  const __m256i both =
      _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(p)), _mm_loadu_si128(q), 1);
  return _mm256_shuffle_epi8(both, swap);
}

// Group j (words 4j..4j+3 of both blocks) goes to wk[8j..8j+7].
KV_AVX2 KV_ALWAYS_INLINE void store_wk(uint32_t* wk, __m256i w, int j) {
  const auto* k = reinterpret_cast<const __m256i*>(k_round_constants_twice.data() + 8 * j);
  _mm256_store_si256(reinterpret_cast<__m256i*>(wk + 8 * j), _mm256_add_epi32(w, _mm256_load_si256(k)));
}

}  // namespace

KV_AVX2 void _sha256_rorx(const unsigned char* data, uint32_t* state, size_t blocks) {
  for (; blocks >= 2; blocks -= 2, data += 128) {
    alignas(32) uint32_t wk[128];
    __m256i x0 = load_be_pair(data, 0), x1 = load_be_pair(data, 1);
    __m256i x2 = load_be_pair(data, 2), x3 = load_be_pair(data, 3);
    store_wk(wk, x0, 0);
    store_wk(wk, x1, 1);
    store_wk(wk, x2, 2);
    store_wk(wk, x3, 3);

    // First block: rounds t..t+3 read wk[2t..2t+3].
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 48; t += 16) {
      x0 = schedule4(x0, next4(x1, x0), next4(x3, x2), x3);
      store_wk(wk, x0, t / 4 + 4);
      KV_SHA256_4ROUNDS_A(wk + 2 * t);
      x1 = schedule4(x1, next4(x2, x1), next4(x0, x3), x0);
      store_wk(wk, x1, t / 4 + 5);
      KV_SHA256_4ROUNDS_B(wk + 2 * t + 8);
      x2 = schedule4(x2, next4(x3, x2), next4(x1, x0), x1);
      store_wk(wk, x2, t / 4 + 6);
      KV_SHA256_4ROUNDS_A(wk + 2 * t + 16);
      x3 = schedule4(x3, next4(x0, x3), next4(x2, x1), x2);
      store_wk(wk, x3, t / 4 + 7);
      KV_SHA256_4ROUNDS_B(wk + 2 * t + 24);
    }
    KV_SHA256_4ROUNDS_A(wk + 96);
    KV_SHA256_4ROUNDS_B(wk + 104);
    KV_SHA256_4ROUNDS_A(wk + 112);
    KV_SHA256_4ROUNDS_B(wk + 120);
    state[0] += a; state[1] += b; state[2] += c; state[3] += d;
    state[4] += e; state[5] += f; state[6] += g; state[7] += h;

    // Second block: its schedule is all stored; rounds t..t+3 read wk[2t+4..2t+7].
    a = state[0], b = state[1], c = state[2], d = state[3];
    e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 64; t += 16) {
      KV_SHA256_4ROUNDS_A(wk + 2 * t + 4);
      KV_SHA256_4ROUNDS_B(wk + 2 * t + 12);
      KV_SHA256_4ROUNDS_A(wk + 2 * t + 20);
      KV_SHA256_4ROUNDS_B(wk + 2 * t + 28);
    }
    state[0] += a; state[1] += b; state[2] += c; state[3] += d;
    state[4] += e; state[5] += f; state[6] += g; state[7] += h;
  }
  if (blocks != 0)
    _sha256_sse4(data, state, blocks);
}

}  // namespace cppcrypto
