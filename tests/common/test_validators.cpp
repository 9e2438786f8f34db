#include "common/validators.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace kv_utils_common;

// "a.a.a...a" of about `length` characters: a valid host name of any length.
std::string labels(size_t length) {
  std::string name;
  while (name.size() + 2 < length) name += "a.";
  return name + "a";
}

// No operation calls these yet: one row each, and the rows of mended faults.
TEST(Validators, Rules) {
  const struct {
    bool (*validator)(const std::string&);
    std::string text;
    bool valid;
  } cases[] = {
      {is_uint, "18446744073709551615", true},
      {is_uint, "7a", false},
      {is_time, "23:59:59", true},
      {is_hostname, labels(2048), true},
      // Refused before matching: the matcher recurses per character and overflows the stack.
      {is_hostname, labels(100000), false},
      {is_email, "ops@example.com", true},
      {is_https_url_strict, "https://veil.example.com", true},
      {is_https_ip_strict, "https://fe80:0:0:0:202:b3ff:fe1e:8329", true},
      {is_ip_address, "::1", true},
      {is_valid_uuid, "123e4567-e89b-12d3-a456-426614174000", true},
      {is_valid_uuid, "123e4567-e89b-62d3-a456-426614174000", false},  // no such version
  };
  for (const auto& c : cases) EXPECT_EQ(c.validator(c.text), c.valid) << c.text.substr(0, 40);

  unsigned int value = 99;
  EXPECT_FALSE(string_to_uint("4294967296", value));  // cut to 32 bits this would be 0
  EXPECT_EQ(value, 99u);

  std::string message;
  EXPECT_TRUE(check_password_complexity("Abcdefghij1!", message, false));
  EXPECT_FALSE(check_password_complexity("Abcdefghi1!", message, false));
  EXPECT_EQ(message,
            "Password minimum length must be no shorter than 12 symbols and must contain at least 1 upper case letter, 1 "
            "special character, 1 digit");
}

}  // namespace
