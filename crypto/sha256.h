#pragma once

// SHA-256 with a block function picked once per object from the processor's features.

#include "crypto/crypto_hash.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace cppcrypto {

class sha256 : public crypto_hash {
public:
  sha256();
  ~sha256() override;

  // A new object must be started with init() (or used through hash_string).
  void init() override;
  void update(const unsigned char* data, size_t len) override;
  // Does not reset the object: init() again before the next message.
  void final(unsigned char* hash) override;

  [[nodiscard]] size_t hashsize() const override { return 256; }
  [[nodiscard]] size_t blocksize() const override { return 512; }
  [[nodiscard]] crypto_hash* clone() const override;
  void clear() override;

private:
  struct aligned_state_deleter {
    void operator()(uint32_t* state) const noexcept;
  };

  std::function<void(const unsigned char*, size_t)> transfunc;  // (data, number of 64-byte blocks)
  std::unique_ptr<uint32_t[], aligned_state_deleter> H;          // 8 state words, 32-byte aligned
  unsigned char m[64] = {};                                      // partial block
  size_t pos = 0;                                                // bytes in m
  uint64_t total = 0;                                            // message length so far, in bits
};

}  // namespace cppcrypto
