#pragma once

// The Kuznyechik block cipher: 128-bit blocks, 256-bit keys. Keys and blocks are byte strings in
// the order the standard prints them.

#include "crypto/block_cipher.h"

#include <cstdint>

namespace cppcrypto {

class kuznyechik : public block_cipher {
public:
  kuznyechik() = default;
  ~kuznyechik() override;

  [[nodiscard]] size_t blocksize() const override { return 128; }
  [[nodiscard]] size_t keysize() const override { return 256; }
  [[nodiscard]] block_cipher* clone() const override;
  void clear() override;

  bool init(const unsigned char* key, direction dir) override;
  void encrypt_block(const unsigned char* in, unsigned char* out) override;
  void decrypt_block(const unsigned char* in, unsigned char* out) override;

private:
  uint8_t rk[10][16] = {};  // round keys
};

}  // namespace cppcrypto
