#pragma once

// The three forms in which the VeiL records keep the values of a controller reply. Each record
// member has one fixed form, so the saved files and the creation requests carry back exactly
// what the controller sent.

#include <boost/json/value.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace kv_veil {

enum class value_form {
  quote_stripped,  // the JSON text with its bare double quotes removed: "abc" -> abc, 42 -> 42,
                   // and each escaped one written \u0022: "a\"b" -> a\u0022b
  json_text,       // the JSON text unchanged: "abc" keeps its quotes, true -> true
  string_value,    // the characters of a JSON string up to the first NUL; anything else throws
};

// Boost.JSON's serialisation: shortest round-trip numbers (10.0 -> 1E1), compact containers.
[[nodiscard]] std::string json_text(const boost::json::value& value);

[[nodiscard]] std::string quote_stripped(const boost::json::value& value);

// The JSON text with every double quote removed, escaped ones too: "a\"b" -> a\b. The VM list
// has always printed names so; nothing is pasted back from it.
[[nodiscard]] std::string quotes_removed(const boost::json::value& value);

// Throws std::invalid_argument("not a string") for a value that is not a string.
[[nodiscard]] std::string string_value(const boost::json::value& value);

[[nodiscard]] std::string read_value(const boost::json::value& value, value_form form);

// The text to paste into a request body for a member kept as JSON text, or nothing when the
// member must not be pasted. A saved file is outside input: only exactly one JSON value, however
// it is spaced, with no key twice in one object, is pasted; anything else could add members to
// the body or break it. An empty member (a key the reply did not have) is pasted as null, and
// Infinity, the library's spelling of a number beyond a double (a reply's 1e400) at any depth, as
// 1e99999, which parsers read as the same number.
[[nodiscard]] std::optional<std::string> pasteable_json(std::string_view text);

// Whether pasteable_json accepts the text.
[[nodiscard]] bool is_json_text(std::string_view text);

// Logs the standard exception being handled, as every reader of the client reports one: a
// JSON error as sig + ": boost::json: " + its text, any other as sig + ": exception:" + its text.
// Call it only from inside a catch block.
void log_caught_exception(std::string_view sig);

}  // namespace kv_veil
