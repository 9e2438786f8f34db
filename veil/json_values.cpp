#include "veil/json_values.h"

#include "common/kv_logger.h"

#include <boost/json/serialize.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>

namespace kv_veil {

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
