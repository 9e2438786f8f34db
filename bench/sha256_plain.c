/* A plain C SHA-256, written the way the algorithm is usually first written down: the whole
 * 64-word schedule first, then 64 rounds with the eight working variables shifted each round.
 * It is the reference speed for the portable block function in bench_sha256. */

#include <stddef.h>
#include <stdint.h>
#include <string.h>

static const uint32_t k[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

#define ROTR(x, n) (((x) >> (n)) | ((x) << (32 - (n))))
#define CH(x, y, z) (((x) & (y)) ^ (~(x) & (z)))
#define MAJ(x, y, z) (((x) & (y)) ^ ((x) & (z)) ^ ((y) & (z)))
#define BSIG0(x) (ROTR(x, 2) ^ ROTR(x, 13) ^ ROTR(x, 22))
#define BSIG1(x) (ROTR(x, 6) ^ ROTR(x, 11) ^ ROTR(x, 25))
#define SSIG0(x) (ROTR(x, 7) ^ ROTR(x, 18) ^ ((x) >> 3))
#define SSIG1(x) (ROTR(x, 17) ^ ROTR(x, 19) ^ ((x) >> 10))

static void compress(uint32_t state[8], const unsigned char* p) {
  uint32_t w[64];
  uint32_t a, b, c, d, e, f, g, h;
  int t;
  for (t = 0; t < 16; ++t)
    w[t] = (uint32_t)p[4 * t] << 24 | (uint32_t)p[4 * t + 1] << 16 | (uint32_t)p[4 * t + 2] << 8 |
           (uint32_t)p[4 * t + 3];
  for (t = 16; t < 64; ++t)
    w[t] = SSIG1(w[t - 2]) + w[t - 7] + SSIG0(w[t - 15]) + w[t - 16];

  a = state[0]; b = state[1]; c = state[2]; d = state[3];
  e = state[4]; f = state[5]; g = state[6]; h = state[7];
  for (t = 0; t < 64; ++t) {
    uint32_t t1 = h + BSIG1(e) + CH(e, f, g) + k[t] + w[t];
    uint32_t t2 = BSIG0(a) + MAJ(a, b, c);
    h = g; g = f; f = e; e = d + t1;
    d = c; c = b; b = a; a = t1 + t2;
  }
  state[0] += a; state[1] += b; state[2] += c; state[3] += d;
  state[4] += e; state[5] += f; state[6] += g; state[7] += h;
}

void sha256_plain_c(const unsigned char* data, size_t len, unsigned char out[32]) {
  uint32_t state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  unsigned char last[128];
  const uint64_t bits = (uint64_t)len * 8;
  size_t rest, padded, i;

  for (; len >= 64; len -= 64, data += 64)
    compress(state, data);

  rest = len;
  padded = rest < 56 ? 64 : 128;
  memset(last, 0, sizeof last);
  memcpy(last, data, rest);
  last[rest] = 0x80;
  for (i = 0; i < 8; ++i)
    last[padded - 1 - i] = (unsigned char)(bits >> (8 * i));
  compress(state, last);
  if (padded == 128)
    compress(state, last + 64);

  for (i = 0; i < 8; ++i) {
    out[4 * i] = (unsigned char)(state[i] >> 24);
    out[4 * i + 1] = (unsigned char)(state[i] >> 16);
    out[4 * i + 2] = (unsigned char)(state[i] >> 8);
    out[4 * i + 3] = (unsigned char)state[i];
  }
}
