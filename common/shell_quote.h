#pragma once

// Quoting of values pasted into /bin/sh command lines. Paths, names and ids come from the
// command line, the configuration or a saved backup; each goes through here so that a blank
// cannot split it and a metacharacter cannot start another command.

#include <stdexcept>
#include <string>
#include <string_view>

namespace kelvanor_common {

// Thrown for a value that has no safe place on a command line: a newline would end the command
// as the shell reads it, and the data mover's list and log formats are line based.
class unsafe_shell_value : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// The value as one shell word. A non-empty value made only of letters, digits and
// _ . / : = @ % + , - is returned unchanged, so ordinary command lines read as before; any
// other value, the empty one included, is enclosed in single quotes. Throws unsafe_shell_value
// for a value holding a newline.
[[nodiscard]] std::string shell_quote(std::string_view value);

// The value always enclosed in single quotes, for commands that quote a value in any case.
// Throws unsafe_shell_value for a value holding a newline.
[[nodiscard]] std::string shell_single_quote(std::string_view value);

}  // namespace kelvanor_common
