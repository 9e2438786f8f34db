#include "veil/secret_mask.h"

#include "veil/json_escape.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace kv_veil {
namespace {

void replace_all(std::string& text, std::string_view what) {
  if (what.empty()) return;
  for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + k_mask.size()))
    text.replace(pos, what.size(), k_mask);
}

size_t skip_blanks(const std::string& text, size_t pos) {
  while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
  return pos;
}

// Masks the string value of every member named key ("key" then a colon then a string).
void mask_member(std::string& text, std::string_view key) {
  const std::string quoted_key = '"' + std::string(key) + '"';
  size_t pos = 0;
  while ((pos = text.find(quoted_key, pos)) != std::string::npos) {
    pos += quoted_key.size();
    size_t at = skip_blanks(text, pos);
    if (at >= text.size() || text[at] != ':') continue;
    at = skip_blanks(text, at + 1);
    if (at >= text.size() || text[at] != '"') continue;
    const size_t begin = at + 1;
    size_t end = begin;
    while (end < text.size() && text[end] != '"') end += text[end] == '\\' ? 2 : 1;
    end = std::min(end, text.size());
    text.replace(begin, end - begin, k_mask);
    pos = begin + k_mask.size();
  }
}

void mask_authorization_headers(std::string& text) {
  static constexpr std::string_view k_header = "authorization:";
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  size_t pos = lower.size();
  // Backwards, so earlier positions in the lower-case copy stay valid after a replacement.
  while (pos > 0 && (pos = lower.rfind(k_header, pos - 1)) != std::string::npos) {
    const size_t begin = pos + k_header.size();
    const size_t end = std::min(text.find_first_of("\r\n", begin), text.size());
    text.replace(begin, end - begin, " " + std::string(k_mask));
    if (pos == 0) break;
  }
}

}  // namespace

std::string mask_secrets(std::string_view text, std::initializer_list<std::string_view> known_secrets) {
  std::string out(text);
  for (std::string_view secret : known_secrets) {
    replace_all(out, json_escape(secret));
    replace_all(out, secret);
  }
  static constexpr std::array<std::string_view, 3> k_secret_members = {"password", "graphics_password", "token"};
  for (std::string_view key : k_secret_members) mask_member(out, key);
  mask_authorization_headers(out);
  return out;
}

}  // namespace kv_veil
