#include "common/shell_quote.h"

#include "common/log_text.h"

#include <algorithm>

namespace kelvanor_common {

namespace {

bool is_plain_shell_character(char c) {
  if (c >= 'a' && c <= 'z') return true;
  if (c >= 'A' && c <= 'Z') return true;
  if (c >= '0' && c <= '9') return true;
  constexpr std::string_view k_plain_punctuation = "_./:=@%+,-";
  return k_plain_punctuation.find(c) != std::string_view::npos;
}

void refuse_newline(std::string_view value) {
  if (value.find('\n') == std::string_view::npos) return;
  // The refused value goes into a log line; its newlines are shown, not written.
  throw unsafe_shell_value("a value holding a newline cannot be passed to a shell command: " + log_text(value));
}

}  // namespace

std::string shell_single_quote(std::string_view value) {
  refuse_newline(value);
  // Inside single quotes nothing is special but the closing quote itself, so an apostrophe
  // closes the quotes, stands escaped, and reopens them.
  std::string quoted = "'";
  for (char c : value) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  quoted += '\'';
  return quoted;
}

std::string shell_quote(std::string_view value) {
  if (!value.empty() && std::all_of(value.begin(), value.end(), is_plain_shell_character)) return std::string(value);
  return shell_single_quote(value);
}

}  // namespace kelvanor_common
