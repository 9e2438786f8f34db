#include "crypto/string_crypt.h"

#include "crypto/ctr.h"
#include "crypto/host_id.h"
#include "crypto/kuznyechik.h"

#include <cstddef>
#include <stdexcept>
#include <utility>
#include <vector>

namespace kv_utils_common::server {

namespace {

constexpr std::size_t k_block_bytes = 16;

// The key is the ASCII text of the identifier's first 32 digits, not the bytes they spell.
void key_cipher(cppcrypto::ctr& mode, const std::string& host_id) {
  const std::size_t key_length = mode.keysize() / 8;
  if (host_id.size() < key_length) throw std::invalid_argument("host identifier too short for a key");
  mode.init(reinterpret_cast<const unsigned char*>(host_id.data()), key_length,
            reinterpret_cast<const unsigned char*>(k_pass_phrase), k_pass_phrase_iv_length);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

namespace string_crypt_detail {

void encrypt_string_for(std::string& text, const std::string& host_id) {
  text.resize((text.size() / k_block_bytes + 1) * k_block_bytes, '\0');
  cppcrypto::ctr mode(cppcrypto::kuznyechik{});
  key_cipher(mode, host_id);
  std::vector<unsigned char> out(text.size(), 0);
  mode.encrypt(reinterpret_cast<const unsigned char*>(text.data()), text.size(), out.data());

  static const char k_digits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(out.size() * 2);
  for (unsigned char byte : out) {
    hex += k_digits[byte >> 4];
    hex += k_digits[byte & 0x0f];
  }
  text = std::move(hex);
}

void decrypt_string_for(std::string& text, const std::string& host_id) {
  std::vector<unsigned char> in;
  in.reserve(text.size() / 2);
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    const int high = hex_value(text[i]);
    const int low = hex_value(text[i + 1]);
    in.push_back(high < 0 || low < 0 ? 0 : static_cast<unsigned char>(high * 16 + low));
  }
  cppcrypto::ctr mode(cppcrypto::kuznyechik{});
  key_cipher(mode, host_id);
  std::vector<unsigned char> out(in.size(), 0);
  mode.decrypt(in.data(), in.size(), out.data());

  std::size_t length = 0;
  while (length < out.size() && out[length] != 0) ++length;
  text.assign(reinterpret_cast<const char*>(out.data()), length);
}

}  // namespace string_crypt_detail

void encrypt_string(std::string& text) { string_crypt_detail::encrypt_string_for(text, hardware_id()); }

void decrypt_string(std::string& text) { string_crypt_detail::decrypt_string_for(text, hardware_id()); }

}  // namespace kv_utils_common::server
