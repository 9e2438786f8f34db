#pragma once

// Counter mode: turns any block cipher into a stream cipher.

#include "crypto/block_cipher.h"

#include <cstddef>
#include <memory>

namespace cppcrypto {

class stream_cipher {
public:
  stream_cipher() = default;
  stream_cipher(const stream_cipher&) = delete;
  stream_cipher& operator=(const stream_cipher&) = delete;
  virtual ~stream_cipher();

  [[nodiscard]] virtual size_t keysize() const = 0;  // bits
  [[nodiscard]] virtual size_t ivsize() const = 0;   // bits
  [[nodiscard]] virtual stream_cipher* clone() const = 0;
  virtual void clear() = 0;

  virtual void init(const unsigned char* key, size_t keylen, const unsigned char* iv,
                    size_t ivlen) = 0;
  virtual void encrypt(const unsigned char* in, size_t len, unsigned char* out) = 0;
  virtual void decrypt(const unsigned char* in, size_t len, unsigned char* out) = 0;
};

class ctr : public stream_cipher {
public:
  // Works on an unkeyed clone of `cipher`.
  explicit ctr(const block_cipher& cipher);
  ~ctr() override;

  [[nodiscard]] size_t keysize() const override { return cipher_->keysize(); }
  [[nodiscard]] size_t ivsize() const override { return cipher_->blocksize(); }
  // Unkeyed, with no counter state.
  [[nodiscard]] stream_cipher* clone() const override;
  void clear() override;

  // The key must be keysize() / 8 bytes and the IV at most ivsize() / 8; a shorter IV is
  // followed by zeros in the counter block. Throws std::invalid_argument otherwise.
  void init(const unsigned char* key, size_t keylen, const unsigned char* iv,
            size_t ivlen) override;
  // Successive calls continue one keystream; in and out may be the same buffer.
  void encrypt(const unsigned char* in, size_t len, unsigned char* out) override;
  void decrypt(const unsigned char* in, size_t len, unsigned char* out) override;

private:
  std::unique_ptr<unsigned char[]> block_;      // current keystream block
  std::unique_ptr<unsigned char[]> iv_;         // counter block, big-endian
  size_t pos = 0;                               // bytes of block_ already used
  size_t nb_;                                   // block size in bytes
  std::unique_ptr<block_cipher> cipher_;
};

}  // namespace cppcrypto
