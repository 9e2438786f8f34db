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

// Quote-stripped text (a value's JSON text with its bare double quotes removed, json_values.h)
// between double quotes. It already holds the escapes of the controller's JSON (\n, \\, \u0022,
// \u0001, ...), which stay as they are, so the value comes back unchanged; only what would end the
// string or break it is escaped: a double quote, a backslash that starts no valid escape, a raw
// control character.
[[nodiscard]] std::string json_quoted_stripped(std::string_view text);

// The characters a body carries in json_quoted_stripped(text), as the controller reads and keeps
// them; the text itself when that is no JSON string (bytes that are not UTF-8).
[[nodiscard]] std::string stripped_characters(std::string_view text);

// A member that holds JSON text (a number, true, false, null, an object) as pasteable_json
// (json_values.h) writes it: an empty one as null, the library's Infinity as 1e99999. Throws
// std::invalid_argument for any text it refuses: it would break the body or add members to it.
[[nodiscard]] std::string json_raw(std::string_view text);

}  // namespace kv_veil
