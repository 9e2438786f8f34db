#pragma once

// Common interface of the hash functions: init, any number of updates, final; then init again
// for the next message.

#include <cstddef>
#include <initializer_list>
#include <string>

namespace cppcrypto {

class crypto_hash {
public:
  crypto_hash() = default;
  crypto_hash(const crypto_hash&) = delete;
  crypto_hash& operator=(const crypto_hash&) = delete;
  virtual ~crypto_hash();

  virtual void init() = 0;
  virtual void update(const unsigned char* data, size_t len) = 0;
  virtual void final(unsigned char* hash) = 0;

  [[nodiscard]] virtual size_t hashsize() const = 0;   // bits
  [[nodiscard]] virtual size_t blocksize() const = 0;  // bits
  // A new object of the same kind, owned by the caller; the running state is not copied.
  [[nodiscard]] virtual crypto_hash* clone() const = 0;
  virtual void clear() = 0;

  // The digest of the whole input, written to `hash` (hashsize() / 8 bytes).
  void hash_string(const unsigned char* data, size_t len, unsigned char* hash);
  void hash_string(const char* data, size_t len, unsigned char* hash);
  void hash_string(const std::string& data, unsigned char* hash);

protected:
  static void validate_hash_size(size_t hashsize, size_t max);
  static void validate_hash_size(size_t hashsize, std::initializer_list<size_t> allowed);
};

// Zeroes memory that held key or message material; the compiler may not drop it.
void zero_memory(void* data, size_t len) noexcept;

}  // namespace cppcrypto
