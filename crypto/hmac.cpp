#include "crypto/hmac.h"

#include <cstring>

namespace cppcrypto {

hmac::hmac(const crypto_hash& hash, const std::string& key)
    : hmac(hash, reinterpret_cast<const unsigned char*>(key.data()), key.size()) {}

hmac::hmac(const crypto_hash& hash, const unsigned char* key, size_t keylen)
    : hash_(hash.clone()) {
  const size_t block_bytes = hash_->blocksize() / 8;
  const size_t digest_bytes = hash_->hashsize() / 8;
  ipad_ = std::make_unique<unsigned char[]>(block_bytes);  // zero-filled
  opad_ = std::make_unique<unsigned char[]>(block_bytes);
  if (keylen <= block_bytes) {
    if (keylen != 0) {
      std::memcpy(ipad_.get(), key, keylen);
      std::memcpy(opad_.get(), key, keylen);
    }
  } else {
    hash_->hash_string(key, keylen, ipad_.get());
    std::memcpy(opad_.get(), ipad_.get(), digest_bytes);
  }
  for (size_t i = 0; i < block_bytes; ++i) {
    ipad_[i] ^= 0x36;
    opad_[i] ^= 0x5c;
  }
}

hmac::hmac(same_key, const hmac& keyed_like) : hash_(keyed_like.hash_->clone()) {
  const size_t block_bytes = hash_->blocksize() / 8;
  ipad_ = std::make_unique<unsigned char[]>(block_bytes);
  opad_ = std::make_unique<unsigned char[]>(block_bytes);
  std::memcpy(ipad_.get(), keyed_like.ipad_.get(), block_bytes);
  std::memcpy(opad_.get(), keyed_like.opad_.get(), block_bytes);
}

hmac::~hmac() {
  hash_->clear();
  const size_t block_bytes = hash_->blocksize() / 8;
  zero_memory(ipad_.get(), block_bytes);
  zero_memory(opad_.get(), block_bytes);
}

void hmac::init() {
  hash_->init();
  hash_->update(ipad_.get(), hash_->blocksize() / 8);
}

void hmac::update(const unsigned char* data, size_t len) { hash_->update(data, len); }

void hmac::final(unsigned char* hash) {
  const size_t digest_bytes = hash_->hashsize() / 8;
  auto inner = std::make_unique<unsigned char[]>(digest_bytes);
  hash_->final(inner.get());
  hash_->init();
  hash_->update(opad_.get(), hash_->blocksize() / 8);
  hash_->update(inner.get(), digest_bytes);
  hash_->final(hash);
  zero_memory(inner.get(), digest_bytes);
}

crypto_hash* hmac::clone() const { return new hmac(same_key{}, *this); }

void hmac::clear() { hash_->clear(); }

}  // namespace cppcrypto
