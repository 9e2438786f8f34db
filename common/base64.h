#pragma once

// Base64 with the standard alphabet and "=" padding, without line breaks.

#include <string>

namespace kv_utils_common {

[[nodiscard]] std::string base64_encode(const std::string& data);
// The empty string when the text holds a character outside the alphabet; trailing "=" padding
// yields no bytes.
[[nodiscard]] std::string base64_decode(const std::string& text);

}  // namespace kv_utils_common
