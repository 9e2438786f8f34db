#include "crypto/block_cipher.h"

namespace cppcrypto {

block_cipher::~block_cipher() = default;

void block_cipher::encrypt_blocks(const unsigned char* in, unsigned char* out, size_t n) {
  const size_t bytes = blocksize() / 8;
  for (size_t i = 0; i < n; ++i)
    encrypt_block(in + i * bytes, out + i * bytes);
}

void block_cipher::decrypt_blocks(const unsigned char* in, unsigned char* out, size_t n) {
  const size_t bytes = blocksize() / 8;
  for (size_t i = 0; i < n; ++i)
    decrypt_block(in + i * bytes, out + i * bytes);
}

}  // namespace cppcrypto
