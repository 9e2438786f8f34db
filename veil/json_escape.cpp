#include "veil/json_escape.h"

#include "veil/bounded_parse.h"
#include "veil/json_values.h"

#include <stdexcept>
#include <string>

namespace kv_veil {
namespace {

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The code unit of a \uXXXX escape at the start of text, or -1.
long utf16_escape(std::string_view text) {
  if (text.size() < 6 || text[0] != '\\' || text[1] != 'u') return -1;
  for (size_t i = 2; i < 6; ++i)
    if (!is_hex(text[i])) return -1;
  return std::stol(std::string(text.substr(2, 4)), nullptr, 16);
}

// The length of the valid escape sequence at the start of text (a backslash and what follows), or 0.
// A surrogate is valid only as the high half of a pair followed by its low half: a parser refuses
// a lone one, and a saved text may hold anything.
size_t escape_length(std::string_view text) {
  if (text.size() < 2 || text[0] != '\\') return 0;
  if (std::string_view("\"\\/bfnrt").find(text[1]) != std::string_view::npos) return 2;
  const long unit = utf16_escape(text);
  if (unit < 0xD800 || unit > 0xDFFF) return unit < 0 ? 0 : 6;
  const long low = unit <= 0xDBFF ? utf16_escape(text.substr(6)) : -1;
  return low >= 0xDC00 && low <= 0xDFFF ? 12 : 0;
}

}  // namespace

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

std::string json_quoted_stripped(std::string_view text) {
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (size_t i = 0; i < text.size();) {
    if (const size_t kept = escape_length(text.substr(i)); kept > 0) {
      out += text.substr(i, kept);
      i += kept;
    } else {
      out += json_escape(text.substr(i, 1));
      ++i;
    }
  }
  return out + '"';
}

std::string stripped_characters(std::string_view text) {
  const boost::json::value value = parse_bounded_or_null(json_quoted_stripped(text));
  return value.is_string() ? std::string(value.get_string()) : std::string(text);
}

std::string json_raw(std::string_view text) {
  std::optional<std::string> pasted = pasteable_json(text);
  if (!pasted) throw std::invalid_argument("a member kept as JSON text is not one JSON value");
  return std::move(*pasted);
}

}  // namespace kv_veil
