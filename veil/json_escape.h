#pragma once

// Every value pasted into a request body goes through these, so a quote, a backslash or a
// control character in a name or password can neither break the body nor add members to it.
// Ordinary values come out unchanged.

#include <string>
#include <string_view>

namespace kv_veil {

// The characters of a JSON string literal without the enclosing quotes: " and \ escaped,
// control characters as \b \f \n \r \t or \u00XX; every other byte (UTF-8 included) as it is.
[[nodiscard]] std::string json_escape(std::string_view text);

// json_escape enclosed in double quotes.
[[nodiscard]] std::string json_quoted(std::string_view text);

// A member that holds JSON text (a number, true, false, null) is pasted as it is; an empty one
// (a key missing from a saved configuration) would leave nothing after the colon, so it is
// written as null.
[[nodiscard]] std::string json_raw(std::string_view text);

}  // namespace kv_veil
