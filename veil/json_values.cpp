#include "veil/json_values.h"

#include "common/json_scan.h"
#include "common/kv_logger.h"
#include "veil/bounded_parse.h"

#include <boost/json/serialize.hpp>
#include <boost/system/system_error.hpp>

namespace kv_veil {
namespace {

// The members of every object inside the value. The parser keeps only the last of two members
// of the same key, so a key given twice shows as one member less than the text has.
size_t member_count(const boost::json::value& value) {
  size_t count = 0;
  if (const boost::json::object* object = value.if_object()) {
    count = object->size();
    for (const auto& member : *object) count += member_count(member.value());
  } else if (const boost::json::array* array = value.if_array()) {
    for (const boost::json::value& element : *array) count += member_count(element);
  }
  return count;
}

// The JSON text without its bare double quotes, each escaped one written as `escaped_quote`; the
// other escapes stay as they are.
std::string without_quotes(const boost::json::value& value, std::string_view escaped_quote) {
  const std::string text = json_text(value);
  std::string stripped;
  stripped.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      stripped += text[i + 1] == '"' ? escaped_quote : std::string_view(text).substr(i, 2);
      ++i;
    } else if (text[i] != '"') {
      stripped += text[i];
    }
  }
  return stripped;
}

}  // namespace

std::string json_text(const boost::json::value& value) { return boost::json::serialize(value); }

std::string quote_stripped(const boost::json::value& value) {
  // Pasted between quotes again (json_quoted_stripped), the backslash of an escaped quote would
  // escape whatever follows it: a name's "n would become a line break. \u0022 keeps the quote.
  return without_quotes(value, "\\u0022");
}

std::string quotes_removed(const boost::json::value& value) { return without_quotes(value, "\\"); }

std::string string_value(const boost::json::value& value) {
  // as_string throws std::invalid_argument("not a string"); c_str stops at an embedded NUL.
  return std::string(value.as_string().c_str());
}

std::string read_value(const boost::json::value& value, value_form form) {
  switch (form) {
    case value_form::quote_stripped: return quote_stripped(value);
    case value_form::json_text: return json_text(value);
    case value_form::string_value: return string_value(value);
  }
  return {};
}

std::optional<std::string> pasteable_json(std::string_view text) {
  if (text.empty()) return "null";
  // Outside strings: one colon per member, and Infinity, which the library writes at any depth
  // for a number beyond a double (a reply's 1e400), as 1e99999, which parsers read as the same
  // number. Inside a string a backslash escapes the next character; the parse below refuses
  // whatever string this misreads.
  constexpr std::string_view k_infinity = "Infinity";
  std::string pasted;
  pasted.reserve(text.size());
  size_t colons = 0;
  kelvanor_common::JsonStringTracker strings;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (strings.outside_strings(c)) {
      if (c == ':') ++colons;
      // Only where a value starts: after nothing, a sign, a colon, a comma, a bracket or a blank.
      const bool value_starts =
          pasted.empty() || std::string_view("-:,[ \t\r\n").find(pasted.back()) != std::string_view::npos;
      if (c == 'I' && value_starts && text.substr(i, k_infinity.size()) == k_infinity) {
        pasted += "1e99999";
        i += k_infinity.size() - 1;
        continue;
      }
    }
    pasted += c;
  }
  // The parser refuses a second value after the first, and nests no deeper than it did in the
  // reply; blanks and line ends around the members are JSON's own.
  try {
    if (member_count(parse_bounded(pasted)) != colons) return std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return pasted;
}

bool is_json_text(std::string_view text) { return pasteable_json(text).has_value(); }

void log_caught_exception(std::string_view sig) {
  try {
    throw;
  } catch (const boost::system::system_error& e) {
    KvLogStream(KvLogLvl::Error) << sig << ": boost::json: " << e.what() << std::endl;
  } catch (const std::exception& e) {
    KvLogStream(KvLogLvl::Error) << sig << ": exception:" << e.what() << std::endl;
  }
}

}  // namespace kv_veil
