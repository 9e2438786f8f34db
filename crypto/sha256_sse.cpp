#include "crypto/sha256_blocks.h"
#include "crypto/sha256_rounds.h"

#include <immintrin.h>

// Both block functions compute the message schedule four words at a time in XMM registers,
// interleaved with the scalar rounds it feeds, and keep W+K in a stack array the rounds read.
// They differ only in byte swapping and in joining two registers (pshufb and palignr, or their
// SSE2 substitutes).

namespace cppcrypto {

namespace {

#define KV_ALWAYS_INLINE inline __attribute__((always_inline))

KV_ALWAYS_INLINE __m128i small_sigma0(__m128i x) {
  const __m128i r7 = _mm_xor_si128(_mm_srli_epi32(x, 7), _mm_slli_epi32(x, 25));
  const __m128i r18 = _mm_xor_si128(_mm_srli_epi32(x, 18), _mm_slli_epi32(x, 14));
  return _mm_xor_si128(_mm_xor_si128(r7, r18), _mm_srli_epi32(x, 3));
}

// xx holds {x, x, y, y}: shifting each 64-bit lane right leaves a rotation of x and of y in the
// low halves, so lanes 0 and 2 hold sigma1(x) and sigma1(y).
KV_ALWAYS_INLINE __m128i small_sigma1_pair(__m128i xx) {
  return _mm_xor_si128(_mm_xor_si128(_mm_srli_epi64(xx, 17), _mm_srli_epi64(xx, 19)),
                       _mm_srli_epi32(xx, 10));
}

// W[t..t+3] from w16 = W[t-16..t-13], w15 = W[t-15..t-12], w7 = W[t-7..t-4] and prev, whose
// lanes 2 and 3 are W[t-2] and W[t-1].
KV_ALWAYS_INLINE __m128i schedule4(__m128i w16, __m128i w15, __m128i w7, __m128i prev) {
  const __m128i zero = _mm_setzero_si128();
  __m128i w = _mm_add_epi32(_mm_add_epi32(w16, w7), small_sigma0(w15));
  __m128i s1 = small_sigma1_pair(_mm_shuffle_epi32(prev, _MM_SHUFFLE(3, 3, 2, 2)));
  w = _mm_add_epi32(w, _mm_unpacklo_epi64(_mm_shuffle_epi32(s1, _MM_SHUFFLE(3, 3, 2, 0)), zero));
  // W[t+2] and W[t+3] need W[t] and W[t+1], just computed.
  s1 = small_sigma1_pair(_mm_shuffle_epi32(w, _MM_SHUFFLE(1, 1, 0, 0)));
  return _mm_add_epi32(w, _mm_unpacklo_epi64(zero, _mm_shuffle_epi32(s1, _MM_SHUFFLE(3, 3, 2, 0))));
}

KV_ALWAYS_INLINE __m128i load_be_sse2(const unsigned char* p) {
  __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  x = _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, _MM_SHUFFLE(2, 3, 0, 1)), _MM_SHUFFLE(2, 3, 0, 1));
  return _mm_or_si128(_mm_slli_epi16(x, 8), _mm_srli_epi16(x, 8));
}

// The four words starting at word 1 of lo: words 1-3 of lo, then word 0 of hi.
KV_ALWAYS_INLINE __m128i next4_sse2(__m128i hi, __m128i lo) {
  return _mm_or_si128(_mm_srli_si128(lo, 4), _mm_slli_si128(hi, 12));
}

__attribute__((target("sse4.1"))) KV_ALWAYS_INLINE __m128i load_be_ssse3(const unsigned char* p) {
  const __m128i swap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), swap);
}

__attribute__((target("sse4.1"))) KV_ALWAYS_INLINE __m128i next4_ssse3(__m128i hi, __m128i lo) {
  return _mm_alignr_epi8(hi, lo, 4);
}

KV_ALWAYS_INLINE void store_wk(uint32_t* wk, __m128i w, int t) {
  const auto* k = reinterpret_cast<const __m128i*>(k_sha256_round_constants + t);
  _mm_store_si128(reinterpret_cast<__m128i*>(wk + t), _mm_add_epi32(w, _mm_load_si128(k)));
}

// The body of both functions; load_be and next4 are the instruction-set specific helpers.
#define KV_SHA256_SSE_BLOCKS(load_be, next4)                                                   \
  for (; blocks != 0; --blocks, data += 64) {                                                  \
    alignas(16) uint32_t wk[64];                                                               \
    __m128i x0 = load_be(data), x1 = load_be(data + 16);                                       \
    __m128i x2 = load_be(data + 32), x3 = load_be(data + 48);                                  \
    store_wk(wk, x0, 0);                                                                       \
    store_wk(wk, x1, 4);                                                                       \
    store_wk(wk, x2, 8);                                                                       \
    store_wk(wk, x3, 12);                                                                      \
                                                                                               \
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];                           \
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];                           \
    for (int t = 0; t < 48; t += 16) {                                                         \
      x0 = schedule4(x0, next4(x1, x0), next4(x3, x2), x3);                                    \
      store_wk(wk, x0, t + 16);                                                                \
      KV_SHA256_4ROUNDS_A(wk + t);                                                             \
      x1 = schedule4(x1, next4(x2, x1), next4(x0, x3), x0);                                    \
      store_wk(wk, x1, t + 20);                                                                \
      KV_SHA256_4ROUNDS_B(wk + t + 4);                                                         \
      x2 = schedule4(x2, next4(x3, x2), next4(x1, x0), x1);                                    \
      store_wk(wk, x2, t + 24);                                                                \
      KV_SHA256_4ROUNDS_A(wk + t + 8);                                                         \
      x3 = schedule4(x3, next4(x0, x3), next4(x2, x1), x2);                                    \
      store_wk(wk, x3, t + 28);                                                                \
      KV_SHA256_4ROUNDS_B(wk + t + 12);                                                        \
    }                                                                                          \
    KV_SHA256_4ROUNDS_A(wk + 48);                                                              \
    KV_SHA256_4ROUNDS_B(wk + 52);                                                              \
    KV_SHA256_4ROUNDS_A(wk + 56);                                                              \
    KV_SHA256_4ROUNDS_B(wk + 60);                                                              \
                                                                                               \
    state[0] += a; state[1] += b; state[2] += c; state[3] += d;                                \
    state[4] += e; state[5] += f; state[6] += g; state[7] += h;                                \
  }

}  // namespace

void X86_SHA256_HashBlocks(uint32_t* state, const unsigned char* data, size_t length) {
  size_t blocks = length / 64;
  KV_SHA256_SSE_BLOCKS(load_be_sse2, next4_sse2)
}

__attribute__((target("sse4.1"))) void _sha256_sse4(const unsigned char* data, uint32_t* state,
                                                    size_t blocks) {
  KV_SHA256_SSE_BLOCKS(load_be_ssse3, next4_ssse3)
}

}  // namespace cppcrypto
