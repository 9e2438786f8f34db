#include "crypto/sha256_blocks.h"
#include "crypto/sha256_rounds.h"

namespace cppcrypto {

void sha256_transform(const unsigned char* data, uint32_t* state, size_t blocks) {
  using sha256_detail::load_be32;
  const uint32_t* k = k_sha256_round_constants;

  for (; blocks != 0; --blocks, data += 64) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i)
      w[i] = load_be32(data + 4 * i);

    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];

    for (int t = 0; t < 64; t += 16) {
      // The schedule is kept as a ring of 16 words; each group of 16 rounds first extends it.
      uint32_t kw[16];
#pragma GCC unroll 16
      for (int i = 0; i < 16; ++i) {
        if (t != 0) {
          const uint32_t w15 = w[(i + 1) & 15];
          const uint32_t w2 = w[(i + 14) & 15];
          w[i] += (std::rotr(w2, 17) ^ std::rotr(w2, 19) ^ (w2 >> 10)) + w[(i + 9) & 15] +
                  (std::rotr(w15, 7) ^ std::rotr(w15, 18) ^ (w15 >> 3));
        }
        kw[i] = w[i] + k[t + i];
      }
      KV_SHA256_4ROUNDS_A(kw);
      KV_SHA256_4ROUNDS_B(kw + 4);
      KV_SHA256_4ROUNDS_A(kw + 8);
      KV_SHA256_4ROUNDS_B(kw + 12);
    }

    state[0] += a; state[1] += b; state[2] += c; state[3] += d;
    state[4] += e; state[5] += f; state[6] += g; state[7] += h;
  }
}

}  // namespace cppcrypto
