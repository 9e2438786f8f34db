#include "module/resource_hash.h"

#include "crypto/hmac.h"
#include "crypto/host_key.h"
#include "crypto/sha256.h"

#include <utility>

namespace kelvanor::hash {

namespace sha {

digest256 Hasher<digest256>::operator()(std::string text) const {
  const cppcrypto::sha256 sha;
  cppcrypto::hmac mac(sha, reinterpret_cast<const unsigned char*>(kelvanor::hash::k_host_key.data()),
                      kelvanor::hash::k_host_key.size());
  digest256 digest{};
  mac.hash_string(text, digest.data());
  return digest;
}

digest256 make_hash(std::string text) { return Hasher<digest256>{}(std::move(text)); }

}  // namespace sha

std::string to_string(const digest256& digest) {
  static constexpr char k_digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(digest.size() * 2);
  for (auto byte = digest.rbegin(); byte != digest.rend(); ++byte) {
    text += k_digits[*byte >> 4];
    text += k_digits[*byte & 0x0f];
  }
  return text;
}

}  // namespace kelvanor::hash
