#include "crypto/kuznyechik.h"

#include "crypto/crypto_hash.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <memory>
#include <cstring>

namespace cppcrypto {

namespace {

using block = std::array<uint8_t, 16>;

constexpr uint8_t k_pi[256] = {
    252, 238, 221, 17,  207, 110, 49,  22,  251, 196, 250, 218, 35,  197, 4,   77,  233, 119, 240,
    219, 147, 46,  153, 186, 23,  54,  241, 187, 20,  205, 95,  193, 249, 24,  101, 90,  226, 92,
    239, 33,  129, 28,  60,  66,  139, 1,   142, 79,  5,   132, 2,   174, 227, 106, 143, 160, 6,
    11,  237, 152, 127, 212, 211, 31,  235, 52,  44,  81,  234, 200, 72,  171, 242, 42,  104, 162,
    253, 58,  206, 204, 181, 112, 14,  86,  8,   12,  118, 18,  191, 114, 19,  71,  156, 183, 93,
    135, 21,  161, 150, 41,  16,  123, 154, 199, 243, 145, 120, 111, 157, 158, 178, 177, 50,  117,
    25,  61,  255, 53,  138, 126, 109, 84,  198, 128, 195, 189, 13,  87,  223, 245, 36,  169, 62,
    168, 67,  201, 215, 121, 214, 246, 124, 34,  185, 3,   224, 15,  236, 222, 122, 148, 176, 188,
    220, 232, 40,  80,  78,  51,  10,  74,  167, 151, 96,  115, 30,  0,   98,  68,  26,  184, 56,
    130, 100, 159, 38,  65,  173, 69,  70,  146, 39,  94,  85,  47,  140, 163, 165, 125, 105, 213,
    149, 59,  7,   88,  179, 64,  134, 172, 29,  247, 48,  55,  107, 228, 136, 217, 231, 137, 225,
    27,  131, 73,  76,  63,  248, 254, 141, 83,  170, 144, 202, 216, 133, 97,  32,  113, 103, 164,
    45,  43,  9,   91,  203, 155, 37,  208, 190, 229, 108, 82,  89,  166, 116, 210, 230, 244, 180,
    192, 209, 102, 175, 194, 57,  75,  99,  182};

constexpr std::array<uint8_t, 256> k_pi_inverse = [] {
  std::array<uint8_t, 256> inverse{};
  for (int i = 0; i < 256; ++i)
    inverse[k_pi[i]] = static_cast<uint8_t>(i);
  return inverse;
}();

// Coefficients of the linear function l, for the bytes in printed order.
constexpr uint8_t k_l_coefficients[16] = {148, 32, 133, 16,  194, 192, 1,  251,
                                          1,   192, 194, 16, 133, 32,  148, 1};

// Multiplication in GF(2^8) modulo x^8 + x^7 + x^6 + x + 1.
constexpr uint8_t gf_mul(uint8_t a, uint8_t b) {
  unsigned int x = a;
  uint8_t product = 0;
  for (; b != 0; b >>= 1) {
    if ((b & 1) != 0)
      product ^= static_cast<uint8_t>(x);
    x <<= 1;
    if ((x & 0x100) != 0)
      x ^= 0x1c3;
  }
  return product;
}

uint8_t l_function(const block& x) {
  uint8_t sum = 0;
  for (int i = 0; i < 16; ++i)
    sum ^= gf_mul(k_l_coefficients[i], x[i]);
  return sum;
}

// L: sixteen steps of R, each shifting the bytes one place on and putting l of the old block first.
block linear(block x) {
  for (int step = 0; step < 16; ++step) {
    const uint8_t first = l_function(x);
    std::memmove(x.data() + 1, x.data(), 15);
    x[0] = first;
  }
  return x;
}

// L^-1: sixteen steps of R^-1. l's last coefficient is 1, so the byte R dropped is l of the
// shifted block with that byte taken as 0, XORed with the byte R put first.
block linear_inverse(block x) {
  for (int step = 0; step < 16; ++step) {
    const uint8_t first = x[0];
    std::memmove(x.data(), x.data() + 1, 15);
    x[15] = 0;
    x[15] = static_cast<uint8_t>(first ^ l_function(x));
  }
  return x;
}

// Because L is linear, it is applied as the XOR of one table entry per input byte.
struct round_tables {
  block ls[16][256];     // L of the block holding pi(v) at position j, zeros elsewhere
  block l_inv[16][256];  // L^-1 of the block holding v at position j, zeros elsewhere
};

void fill_linear_table(block (&table)[16][256], block (*transform)(block)) {
  for (int j = 0; j < 16; ++j) {
    block bit_images[8];
    for (int bit = 0; bit < 8; ++bit) {
      block unit{};
      unit[j] = static_cast<uint8_t>(1U << bit);
      bit_images[bit] = transform(unit);
    }
    for (int v = 0; v < 256; ++v) {
      block sum{};
      for (int bit = 0; bit < 8; ++bit)
        if ((v >> bit) & 1)
          for (int i = 0; i < 16; ++i)
            sum[i] ^= bit_images[bit][i];
      table[j][v] = sum;
    }
  }
}

const round_tables& tables() {
  static const std::unique_ptr<const round_tables> built = [] {
    auto t = std::make_unique<round_tables>();
    fill_linear_table(t->l_inv, linear_inverse);
    fill_linear_table(t->ls, linear);
    for (auto& row : t->ls) {
      block unsubstituted[256];
      std::copy(std::begin(row), std::end(row), unsubstituted);
      for (int v = 0; v < 256; ++v)
        row[v] = unsubstituted[k_pi[v]];
    }
    return t;
  }();
  return *built;
}

void xor_into(block& x, const uint8_t* key) {
  for (int i = 0; i < 16; ++i)
    x[i] ^= key[i];
}

// L(S(x)).
block substitute_and_mix(const round_tables& t, const block& x) {
  block out{};
  for (int j = 0; j < 16; ++j)
    for (int i = 0; i < 16; ++i)
      out[i] ^= t.ls[j][x[j]][i];
  return out;
}

// S^-1(L^-1(x)).
block unmix_and_unsubstitute(const round_tables& t, const block& x) {
  block out{};
  for (int j = 0; j < 16; ++j)
    for (int i = 0; i < 16; ++i)
      out[i] ^= t.l_inv[j][x[j]][i];
  for (auto& byte : out)
    byte = k_pi_inverse[byte];
  return out;
}

}  // namespace

kuznyechik::~kuznyechik() { clear(); }

block_cipher* kuznyechik::clone() const { return new kuznyechik; }

void kuznyechik::clear() { zero_memory(rk, sizeof rk); }

bool kuznyechik::init(const unsigned char* key, direction) {
  // Both directions use the round keys as they are; decryption applies the inverse steps.
  const round_tables& t = tables();
  block k1;
  block k2;
  std::memcpy(k1.data(), key, 16);
  std::memcpy(k2.data(), key + 16, 16);
  std::memcpy(rk[0], k1.data(), 16);
  std::memcpy(rk[1], k2.data(), 16);
  for (int i = 0; i < 32; ++i) {
    block constant{};
    constant[15] = static_cast<uint8_t>(i + 1);
    constant = linear(constant);
    // One Feistel step: (k1, k2) becomes (LS(k1 ^ C) ^ k2, k1).
    block mixed = k1;
    xor_into(mixed, constant.data());
    mixed = substitute_and_mix(t, mixed);
    xor_into(mixed, k2.data());
    k2 = k1;
    k1 = mixed;
    if (i % 8 == 7) {
      std::memcpy(rk[2 + i / 8 * 2], k1.data(), 16);
      std::memcpy(rk[3 + i / 8 * 2], k2.data(), 16);
    }
  }
  zero_memory(k1.data(), k1.size());
  zero_memory(k2.data(), k2.size());
  return true;
}

void kuznyechik::encrypt_block(const unsigned char* in, unsigned char* out) {
  const round_tables& t = tables();
  block x;
  std::memcpy(x.data(), in, 16);
  for (int round = 0; round < 9; ++round) {
    xor_into(x, rk[round]);
    x = substitute_and_mix(t, x);
  }
  xor_into(x, rk[9]);
  std::memcpy(out, x.data(), 16);
}

void kuznyechik::decrypt_block(const unsigned char* in, unsigned char* out) {
  const round_tables& t = tables();
  block x;
  std::memcpy(x.data(), in, 16);
  xor_into(x, rk[9]);
  for (int round = 8; round >= 0; --round) {
    x = unmix_and_unsubstitute(t, x);
    xor_into(x, rk[round]);
  }
  std::memcpy(out, x.data(), 16);
}

}  // namespace cppcrypto
