#include "veil/json_escape.h"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

TEST(JsonEscape, OrdinaryValuesStayByteIdentical) {
  for (const char* text : {"", "admin", "vm-01_Backup 2024", "Привет", "a/b:c@d.e", "#ff0000"})
    EXPECT_EQ(kv_veil::json_escape(text), text);
}

TEST(JsonEscape, EscapesQuotesBackslashesAndControlCharacters) {
  EXPECT_EQ(kv_veil::json_escape("a\"b"), "a\\\"b");
  EXPECT_EQ(kv_veil::json_escape("a\\b"), "a\\\\b");
  EXPECT_EQ(kv_veil::json_escape("l1\nl2\r\t"), "l1\\nl2\\r\\t");
  EXPECT_EQ(kv_veil::json_escape(std::string("\x01\x1f\b\f", 4)), "\\u0001\\u001f\\b\\f");
  EXPECT_EQ(kv_veil::json_escape(std::string("x\0y", 3)), "x\\u0000y");
}

// Whatever the text, the quoted form parses back to exactly that text: no value can break a
// body or add members to it.
TEST(JsonEscape, EveryAsciiCharacterRoundTripsThroughAJsonParser) {
  std::string all;
  for (int c = 0; c < 128; ++c) all += static_cast<char>(c);
  const std::string injection = R"(x", "admin": true, "y": ")";
  for (const std::string& text : {all, injection, std::string("\\\"\\")}) {
    const boost::json::value parsed = boost::json::parse("{\"v\": " + kv_veil::json_quoted(text) + "}");
    ASSERT_EQ(parsed.as_object().size(), 1u);
    EXPECT_EQ(std::string(parsed.at("v").as_string()), text);
  }
}

// Quote-stripped text already holds the controller's escapes: they are kept, and whatever else
// would end or break the string is escaped.
TEST(JsonEscape, QuoteStrippedTextKeepsItsEscapesAndEscapesTheRest) {
  EXPECT_EQ(kv_veil::json_quoted_stripped("vm-01 Backup"), "\"vm-01 Backup\"");
  const std::pair<std::string, std::string> rows[] = {
      {R"(l1\nl2\t\\ \u00e9\/)", "l1\nl2\t\\ \u00e9/"},
      {R"(a\ b\)", R"(a\ b\)"},
      {R"(\u12g4 \u12)", R"(\u12g4 \u12)"},
      {"q\", \"x\": \x01", "q\", \"x\": \x01"},
  };
  for (const auto& [stripped, meant] : rows) {
    const boost::json::value parsed = boost::json::parse("{\"v\": " + kv_veil::json_quoted_stripped(stripped) + "}");
    ASSERT_EQ(parsed.as_object().size(), 1u) << stripped;
    EXPECT_EQ(std::string(parsed.at("v").as_string()), meant) << stripped;
  }
}

TEST(JsonEscape, RawMemberIsPastedOrNullWhenEmpty) {
  EXPECT_EQ(kv_veil::json_raw("1024"), "1024");
  EXPECT_EQ(kv_veil::json_raw("true"), "true");
  EXPECT_EQ(kv_veil::json_raw(""), "null");
}

}  // namespace
