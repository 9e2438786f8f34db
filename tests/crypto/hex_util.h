#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace crypto_test {

inline std::string to_hex(const unsigned char* data, size_t len) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < len; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

inline std::string to_hex(const std::vector<unsigned char>& data) {
  return to_hex(data.data(), data.size());
}

inline std::vector<unsigned char> from_hex(const std::string& hex) {
  std::vector<unsigned char> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

inline std::vector<unsigned char> bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

}  // namespace crypto_test
