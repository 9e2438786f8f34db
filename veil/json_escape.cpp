#include "veil/json_escape.h"

namespace kv_veil {

std::string json_escape(std::string_view text) {
  static constexpr char k_hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += k_hex[byte >> 4];
          out += k_hex[byte & 0xF];
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string json_quoted(std::string_view text) { return '"' + json_escape(text) + '"'; }

std::string json_raw(std::string_view text) { return text.empty() ? std::string("null") : std::string(text); }

}  // namespace kv_veil
