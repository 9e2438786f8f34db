#include "crypto/crypto_hash.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace cppcrypto {

crypto_hash::~crypto_hash() = default;

void crypto_hash::hash_string(const unsigned char* data, size_t len, unsigned char* hash) {
  init();
  update(data, len);
  final(hash);
}

void crypto_hash::hash_string(const char* data, size_t len, unsigned char* hash) {
  hash_string(reinterpret_cast<const unsigned char*>(data), len, hash);
}

void crypto_hash::hash_string(const std::string& data, unsigned char* hash) {
  hash_string(data.data(), data.size(), hash);
}

namespace {

void validate_common(size_t hashsize) {
  if (hashsize == 0)
    throw std::runtime_error("hash size can't be zero");
  if (hashsize % 8 != 0)
    throw std::runtime_error("cppcrypto does not support non-byte hash sizes");
}

}  // namespace

void crypto_hash::validate_hash_size(size_t hashsize, size_t max) {
  validate_common(hashsize);
  if (hashsize > max)
    throw std::runtime_error("invalid hash size");
}

void crypto_hash::validate_hash_size(size_t hashsize, std::initializer_list<size_t> allowed) {
  validate_common(hashsize);
  if (std::find(allowed.begin(), allowed.end(), hashsize) == allowed.end())
    throw std::runtime_error("invalid hash size");
}

void zero_memory(void* data, size_t len) noexcept {
  if (len != 0)
    explicit_bzero(data, len);
}

}  // namespace cppcrypto
