#include "common/validators.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace kv_utils_common;

struct Case {
  std::string text;
  bool valid;
};

void check_all(bool (*validator)(const std::string&), const std::vector<Case>& cases) {
  for (const Case& c : cases) EXPECT_EQ(validator(c.text), c.valid) << '"' << c.text.substr(0, 80) << '"';
}

// "a.a.a...a" of about `length` characters: a valid name of any length.
std::string labels(size_t length) {
  std::string name;
  while (name.size() + 2 < length) name += "a.";
  return name + "a";
}

TEST(Validators, UnsignedIntegers) {
  check_all(is_uint, {{"0", true},
                      {"7", true},
                      {"18446744073709551615", true},
                      {"18446744073709551616", false},
                      {"007", false},
                      {"+7", false},
                      {"-1", false},
                      {" 7", false},
                      {"7 ", false},
                      {"7a", false},
                      {"", false},
                      {"abc", false}});
}

TEST(Validators, StringToUintStoresOnlyNumbersThatFit) {
  unsigned int value = 99;
  EXPECT_TRUE(string_to_uint("4294967295", value));
  EXPECT_EQ(value, 4294967295u);
  EXPECT_TRUE(string_to_uint("0", value));
  EXPECT_EQ(value, 0u);
  value = 99;
  // Cut to its low 32 bits this would be 0.
  EXPECT_FALSE(string_to_uint("4294967296", value));
  EXPECT_FALSE(string_to_uint("012", value));
  EXPECT_FALSE(string_to_uint("", value));
  EXPECT_EQ(value, 99u);
}

TEST(Validators, Times) {
  check_all(is_time, {{"00:00:00", true}, {"23:59:59", true}, {"12:30:15 and more", true}, {"24:00:00", false},
                      {"12:60:00", false}, {"noon", false}, {"", false}});
}

TEST(Validators, HostNames) {
  check_all(is_hostname, {{"a", true},
                          {"backup-01.example.com", true},
                          {std::string(63, 'a'), true},
                          {std::string(64, 'a'), false},
                          {"-host", false},
                          {"host-", false},
                          {"host.-sub", false},
                          {"host..com", false},
                          {"under_score", false},
                          {labels(2048), true},
                          {labels(100000), false},
                          {"", false}});
}

TEST(Validators, EmailAddresses) {
  check_all(is_email, {{"ops@example.com", true}, {"first.last+tag@mail.example.org", true}, {"ops@example", false},
                       {"@example.com", false}, {"ops@example.c", false}, {"ops@example.toolong", false},
                       {std::string(100000, 'a') + "@example.com", false}});
}

TEST(Validators, HttpsUrls) {
  check_all(is_https_url_strict, {{"https://veil.example.com", true}, {"veil.example.com/api/v1", true},
                                  {"https://x", false}, {"https://host.local1", false}, {"", false},
                                  {"https://veil.example.com/" + std::string(100000, 'a'), false}});
}

TEST(Validators, HttpsIpUrls) {
  check_all(is_https_ip_strict, {{"https://192.168.0.1", true},
                                 {"https://255.255.255.255", true},
                                 {"https://256.1.1.1", false},
                                 {"https://01.1.1.1", false},
                                 {"http://1.1.1.1", false},
                                 {"https://fe80:0:0:0:202:b3ff:fe1e:8329", true},
                                 {"https://fe80::202:b3ff:fe1e:8329", false},
                                 {"https://1.1.1.1:443", false}});
}

TEST(Validators, IpAddresses) {
  check_all(is_ip_address, {{"10.0.0.1", true}, {"::1", true}, {"fe80::202:b3ff:fe1e:8329", true},
                            {"10.0.0.256", false}, {"host", false}, {"", false}});
}

TEST(Validators, Uuids) {
  check_all(is_valid_uuid, {{"123e4567-e89b-12d3-a456-426614174000", true},
                            {"{123e4567-e89b-42d3-a456-426614174000}", true},
                            {"123e4567e89b52d3a456426614174000", true},
                            {"123e4567-e89b-62d3-a456-426614174000", false},
                            {"123e4567-e89b-02d3-a456-426614174000", false},
                            {"123e4567-e89b-12d3-a456-42661417400", false},
                            {"not-a-uuid", false},
                            {"", false}});
}

TEST(Validators, PasswordComplexity) {
  const std::string rule =
      "Password minimum length must be no shorter than 12 symbols and must contain at least 1 upper case letter, 1 "
      "special character, 1 digit";
  std::string message;
  EXPECT_TRUE(check_password_complexity("Abcdefghij1!", message, false));
  EXPECT_EQ(message, "");
  EXPECT_FALSE(check_password_complexity("Abcdefghi1!", message, false));
  EXPECT_EQ(message, rule);
  for (const std::string weak : {"abcdefghij1!", "ABCDEFGHIJK!", "Abcdefghijk1"}) {
    message.clear();
    EXPECT_FALSE(check_password_complexity(weak, message, false)) << weak;
    EXPECT_EQ(message, rule);
  }
  message.clear();
  EXPECT_FALSE(check_password_complexity("Abcdefghij1!", message, true));
  EXPECT_EQ(message, rule);
  // Bytes of UTF-8 letters count as none of the classes, and do no harm.
  const std::string cyrillic = "\xd0\x9f\xd0\xb0\xd1\x80\xd0\xbe\xd0\xbb\xd1\x8c";
  EXPECT_FALSE(check_password_complexity(cyrillic + "!", message, false));
  EXPECT_TRUE(check_password_complexity(cyrillic + "A1!", message, false));
}

}  // namespace
