#include "veil/json_values.h"

#include "common/json_scan.h"
#include "common/kv_logger.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>

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

}  // namespace

std::string json_text(const boost::json::value& value) { return boost::json::serialize(value); }

std::string quote_stripped(const boost::json::value& value) {
  std::string text = json_text(value);
  std::erase(text, '"');
  return text;
}

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

bool is_json_text(std::string_view text) {
  if (text.empty() || text == "Infinity" || text == "-Infinity") return true;
  // Outside strings: no white space, and one colon per member. Inside a string a backslash
  // escapes the next character; the parse below refuses whatever string this misreads.
  size_t colons = 0;
  kelvanor_common::JsonStringTracker strings;
  for (const char c : text) {
    if (!strings.outside_strings(c)) continue;
    if (c == ':') ++colons;
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') return false;
  }
  // The parser refuses anything after the value, and nests no deeper than it did in the reply.
  boost::system::error_code error;
  const boost::json::value value = boost::json::parse(text, error);
  return !error && member_count(value) == colons;
}

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
