#include "crypto/ctr.h"

#include "crypto/crypto_hash.h"

#include <cstring>
#include <stdexcept>

namespace cppcrypto {

stream_cipher::~stream_cipher() = default;

ctr::ctr(const block_cipher& cipher)
    : block_(std::make_unique<unsigned char[]>(cipher.blocksize() / 8)),
      iv_(std::make_unique<unsigned char[]>(cipher.blocksize() / 8)),
      nb_(cipher.blocksize() / 8),
      cipher_(cipher.clone()) {}

ctr::~ctr() {
  zero_memory(block_.get(), nb_);
  zero_memory(iv_.get(), nb_);
}

stream_cipher* ctr::clone() const { return new ctr(*cipher_); }

void ctr::clear() {
  zero_memory(block_.get(), nb_);
  zero_memory(iv_.get(), nb_);
  cipher_->clear();
}

void ctr::init(const unsigned char* key, size_t keylen, const unsigned char* iv, size_t ivlen) {
  // The cipher reads keysize() / 8 key bytes and the IV is copied into a block-sized buffer:
  // other lengths would read or write past the caller's or our memory.
  if (keylen != cipher_->keysize() / 8)
    throw std::invalid_argument("ctr: key length does not match the cipher's key size");
  if (ivlen > nb_)
    throw std::invalid_argument("ctr: IV longer than the cipher's block");
  (void)cipher_->init(key, block_cipher::encryption);
  std::memset(iv_.get(), 0, nb_);
  if (ivlen != 0)
    std::memcpy(iv_.get(), iv, ivlen);
  pos = 0;
}

void ctr::encrypt(const unsigned char* in, size_t len, unsigned char* out) {
  // Keystream left over from the previous call comes first.
  if (pos != 0) {
    while (len != 0 && pos < nb_) {
      *out++ = static_cast<unsigned char>(*in++ ^ block_[pos++]);
      --len;
    }
  }
  while (len != 0) {
    pos = 0;
    cipher_->encrypt_block(iv_.get(), block_.get());
    for (size_t i = nb_; i-- > 0;)
      if (++iv_[i] != 0)
        break;
    if (len >= nb_) {
      for (size_t i = 0; i < nb_; ++i)
        out[i] = static_cast<unsigned char>(in[i] ^ block_[i]);
      in += nb_;
      out += nb_;
      len -= nb_;
    } else {
      for (size_t i = 0; i < len; ++i)
        out[i] = static_cast<unsigned char>(in[i] ^ block_[i]);
      pos = len;
      len = 0;
    }
  }
}

void ctr::decrypt(const unsigned char* in, size_t len, unsigned char* out) { encrypt(in, len, out); }

}  // namespace cppcrypto
