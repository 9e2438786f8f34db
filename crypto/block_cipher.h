#pragma once

// Common interface of the block ciphers.

#include <cstddef>

namespace cppcrypto {

class block_cipher {
public:
  enum direction { encryption, decryption };

  block_cipher() = default;
  block_cipher(const block_cipher&) = delete;
  block_cipher& operator=(const block_cipher&) = delete;
  virtual ~block_cipher();

  [[nodiscard]] virtual size_t blocksize() const = 0;  // bits
  [[nodiscard]] virtual size_t keysize() const = 0;    // bits
  // A new, unkeyed object of the same kind, owned by the caller.
  [[nodiscard]] virtual block_cipher* clone() const = 0;
  // Wipes the key material.
  virtual void clear() = 0;

  // Keys the cipher for one direction: after init(key, encryption) only encrypt_block is valid,
  // after init(key, decryption) only decrypt_block.
  virtual bool init(const unsigned char* key, direction dir) = 0;
  virtual void encrypt_block(const unsigned char* in, unsigned char* out) = 0;
  virtual void decrypt_block(const unsigned char* in, unsigned char* out) = 0;

  virtual void encrypt_blocks(const unsigned char* in, unsigned char* out, size_t n);
  virtual void decrypt_blocks(const unsigned char* in, unsigned char* out, size_t n);
};

}  // namespace cppcrypto
