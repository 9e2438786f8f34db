#include "common/base64.h"

#include <boost/archive/iterators/base64_from_binary.hpp>
#include <boost/archive/iterators/binary_from_base64.hpp>
#include <boost/archive/iterators/transform_width.hpp>

#include <exception>

namespace kv_utils_common {

namespace {

namespace it = boost::archive::iterators;

constexpr const char* k_alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::string base64_encode(const std::string& data) {
  using Encoder = it::base64_from_binary<it::transform_width<std::string::const_iterator, 6, 8>>;
  std::string text(Encoder(data.begin()), Encoder(data.end()));
  text.append((3 - data.size() % 3) % 3, '=');
  return text;
}

std::string base64_decode(const std::string& text) {
  const size_t end = text.find_last_not_of('=');
  const std::string digits = end == std::string::npos ? std::string() : text.substr(0, end + 1);
  // Checked beforehand: the decoder never looks at the bits of a last digit that fill no byte.
  if (digits.find_first_not_of(k_alphabet) != std::string::npos) return {};

  using Decoder = it::transform_width<it::binary_from_base64<std::string::const_iterator>, 8, 6>;
  // Only whole bytes: the decoder would read past the text for the bits of a partial one.
  const size_t length = digits.size() * 6 / 8;
  std::string data;
  data.reserve(length);
  try {
    Decoder decoder(digits.begin());
    for (size_t i = 0; i < length; ++i, ++decoder) data += static_cast<char>(*decoder);
  } catch (const std::exception&) {
    return {};
  }
  return data;
}

}  // namespace kv_utils_common
