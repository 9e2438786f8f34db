#pragma once

// The product's three-part version number, and the quoting used to show a text in messages or
// hand a path to the shell.

#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>

namespace kelvanor {

struct Version {
  uint32_t major = 0;  // incompatible changes
  uint32_t minor = 0;  // compatible additions
  uint32_t patch = 0;  // fixes

  std::string to_string() const;
  std::wstring to_wstring() const;
  // Whether this version may follow `previous`: the next patch of the same minor version, the
  // first patch of the next minor version, or the first release of the next major version.
  bool is_accessible_from(const Version& previous) const;
};

inline constexpr Version version_current{2, 1, 0};
inline constexpr Version version_unknown{0, 0, 0};

// Text form of version_current, built before main.
extern const std::string version_current_string;

template <typename Char, typename Traits>
std::basic_ostream<Char, Traits>& operator<<(std::basic_ostream<Char, Traits>& stream, const Version& version) {
  return stream << version.major << Char('.') << version.minor << Char('.') << version.patch;
}

template <typename Char>
std::basic_string<Char> std_string_from(const Version& version) {
  std::basic_ostringstream<Char> text;
  text << version;
  return text.str();
}

// The text between two delimiters, with every delimiter and escape character inside preceded by
// the escape character; nothing else is changed.
template <typename Char, typename String>
std::basic_string<Char> make_quoted_std(const String& text, Char delimiter, Char escape) {
  const std::basic_string_view<Char> view(text);
  std::basic_string<Char> quoted;
  quoted.reserve(view.size() + 2);
  quoted += delimiter;
  for (Char c : view) {
    if (c == delimiter || c == escape) quoted += escape;
    quoted += c;
  }
  quoted += delimiter;
  return quoted;
}

template <typename Char, typename String>
std::basic_string<Char> as_quoted(const String& text, Char delimiter, Char escape) {
  return make_quoted_std(text, delimiter, escape);
}

// The common form: double quotes, backslash as escape.
template <typename String>
std::string as_quoted(const String& text) {
  return as_quoted(text, '"', '\\');
}

template <typename String>
std::string as_quoted_single(const String& text) {
  return as_quoted(text, '\'', '\\');
}

}  // namespace kelvanor

namespace kelvanor_common {

std::string single_quoted(std::string_view text);

}  // namespace kelvanor_common
