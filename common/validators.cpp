#include "common/validators.h"

#include <boost/asio/ip/address.hpp>
#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid.hpp>

#include <cctype>
#include <ctime>
#include <exception>
#include <iomanip>
#include <limits>
#include <regex>
#include <sstream>

namespace kv_utils_common {

namespace {

constexpr size_t k_password_min_length = 12;
constexpr int k_password_min_upper = 1;
constexpr int k_password_min_special = 1;
constexpr int k_password_min_digits = 1;

bool parse_uint(const std::string& text, unsigned long& value) {
  if (text.empty()) return false;
  try {
    value = std::stoul(text, nullptr, 10);
  } catch (const std::exception&) {
    return false;
  }
  return std::to_string(value) == text;
}

// The regular expression engine recurses about once per character and overflows the stack on
// some tens of kilobytes; no host name, address or URL is anywhere near this long.
constexpr size_t k_max_matched_length = 2048;

bool full_match(const std::string& text, const char* pattern) {
  if (text.size() > k_max_matched_length) return false;
  const std::regex expression(pattern, std::regex::ECMAScript);
  return std::regex_match(text, expression);
}

}  // namespace

bool is_uint(const std::string& text) {
  unsigned long value = 0;
  return parse_uint(text, value);
}

// A number above the 32-bit range is refused rather than stored cut to its low bits.
bool string_to_uint(const std::string& text, unsigned int& value) {
  unsigned long parsed = 0;
  if (!parse_uint(text, parsed) || parsed > std::numeric_limits<unsigned int>::max()) return false;
  value = static_cast<unsigned int>(parsed);
  return true;
}

bool is_time(const std::string& text) {
  std::istringstream input(text);
  std::tm time{};
  input >> std::get_time(&time, "%H:%M:%S");
  return !input.fail();
}

bool is_hostname(const std::string& text) {
  return full_match(text,
                    R"(^([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\-]{0,61}[a-zA-Z0-9])(\.([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\-]{0,61}[a-zA-Z0-9]))*$)");
}

bool is_email(const std::string& text) {
  return full_match(text, R"(^[A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+\.[A-Za-z]{2,6}$)");
}

bool is_https_url_strict(const std::string& text) {
  return full_match(text, R"((https://)?[a-zA-Z0-9@:%._\-\+~#?&//=]{2,256}\.[a-z]{2,6}\b([-a-zA-Z0-9@%._\-\//=]*))");
}

bool is_https_ip_strict(const std::string& text) {
  return full_match(
             text,
             R"(https://(([0-9]|[1-9][0-9]|1[0-9][0-9]|2[0-4][0-9]|25[0-5])\.){3}([0-9]|[1-9][0-9]|1[0-9][0-9]|2[0-4][0-9]|25[0-5]))") ||
         full_match(text, R"(https://((([0-9a-fA-F]){1,4})\:){7}([0-9a-fA-F]){1,4})");
}

bool is_ip_address(const std::string& text) {
  boost::system::error_code error;
  boost::asio::ip::make_address(text, error);
  return !error;
}

bool is_valid_uuid(const std::string& text) {
  try {
    const boost::uuids::uuid id = boost::uuids::string_generator()(text);
    const int version = static_cast<int>(id.version());
    return version >= 1 && version <= 5;
  } catch (const std::exception&) {
    return false;
  }
}

bool check_password_complexity(const std::string& password, std::string& message, bool rule_only) {
  std::ostringstream rule;
  rule << "Password minimum length must be no shorter than " << k_password_min_length
       << " symbols and must contain at least " << k_password_min_upper << " upper case letter, "
       << k_password_min_special << " special character, " << k_password_min_digits << " digit";
  if (!rule_only && password.size() >= k_password_min_length) {
    int upper = 0;
    int special = 0;
    int digits = 0;
    // The classification functions take the character as unsigned char; a negative char
    // (any byte of a UTF-8 sequence) would be undefined behaviour.
    for (unsigned char c : password) {
      if (std::isupper(c)) ++upper;
      if (std::ispunct(c)) ++special;
      if (std::isdigit(c)) ++digits;
    }
    if (upper >= k_password_min_upper && special >= k_password_min_special && digits >= k_password_min_digits)
      return true;
  }
  message = rule.str();
  return false;
}

}  // namespace kv_utils_common
