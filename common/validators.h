#pragma once

// Checks of user input: numbers, times, host names, addresses, URLs, UUIDs and passwords.

#include <string>

namespace kv_utils_common {

// A decimal number in the 64-bit range written the canonical way: no sign, blank or leading zero.
[[nodiscard]] bool is_uint(const std::string& text);
// The same test; on success the number, which must also fit in 32 bits, is stored in `value`.
[[nodiscard]] bool string_to_uint(const std::string& text, unsigned int& value);
// Begins with a time of day as HH:MM:SS.
[[nodiscard]] bool is_time(const std::string& text);
[[nodiscard]] bool is_hostname(const std::string& text);
[[nodiscard]] bool is_email(const std::string& text);
[[nodiscard]] bool is_https_url_strict(const std::string& text);
// "https://" and an IPv4 address, or a full IPv6 address of eight groups.
[[nodiscard]] bool is_https_ip_strict(const std::string& text);
[[nodiscard]] bool is_ip_address(const std::string& text);
// 32 hexadecimal digits (hyphens and braces allowed) of a UUID of version 1 to 5.
[[nodiscard]] bool is_valid_uuid(const std::string& text);

// At least 12 characters with an upper-case letter, a punctuation mark and a digit. Otherwise,
// or when only `rule_only` is asked for, the rule's text goes to `message` and the result is false.
[[nodiscard]] bool check_password_complexity(const std::string& password, std::string& message, bool rule_only);

}  // namespace kv_utils_common
