#pragma once

// HMAC over any hash: the keyed digest used for lock names and the host identifier.

#include "crypto/crypto_hash.h"

#include <memory>
#include <string>

namespace cppcrypto {

class hmac : public crypto_hash {
public:
  // Both clone `hash`; a key longer than the hash's block is hashed first.
  hmac(const crypto_hash& hash, const std::string& key);
  hmac(const crypto_hash& hash, const unsigned char* key, size_t keylen);
  ~hmac() override;

  void init() override;
  void update(const unsigned char* data, size_t len) override;
  void final(unsigned char* hash) override;

  [[nodiscard]] size_t hashsize() const override { return hash_->hashsize(); }
  [[nodiscard]] size_t blocksize() const override { return hash_->blocksize(); }
  // Same key, no running state.
  [[nodiscard]] crypto_hash* clone() const override;
  void clear() override;

private:
  struct same_key {};
  hmac(same_key, const hmac& keyed_like);

  std::unique_ptr<unsigned char[]> ipad_;  // key XOR 0x36, one block of the inner hash
  std::unique_ptr<unsigned char[]> opad_;  // key XOR 0x5c, one block of the inner hash
  std::unique_ptr<crypto_hash> hash_;      // the inner hash
};

}  // namespace cppcrypto
