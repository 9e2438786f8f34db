#include "veil/json_values.h"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using kv_veil::value_form;

struct FormCase {
  const char* json;
  const char* stripped;
  const char* text;
};

// The forms are what the saved files and creation requests carry back, so Boost.JSON's own
// number forms must come through unchanged.
TEST(JsonValues, QuoteStrippedAndJsonTextForms) {
  const FormCase cases[] = {
      {R"("abc")", "abc", R"("abc")"},
      {"42", "42", "42"},
      {"-7", "-7", "-7"},
      {"1.5", "1.5E0", "1.5E0"},
      {"10.0", "1E1", "1E1"},
      {"true", "true", "true"},
      {"null", "null", "null"},
      {R"("say \"hi\"")", R"(say \hi\)", R"("say \"hi\"")"},
      {R"(["a",1])", "[a,1]", R"(["a",1])"},
      {R"({"k":"v"})", "{k:v}", R"({"k":"v"})"},
  };
  for (const FormCase& c : cases) {
    const boost::json::value value = boost::json::parse(c.json);
    EXPECT_EQ(kv_veil::quote_stripped(value), c.stripped) << c.json;
    EXPECT_EQ(kv_veil::json_text(value), c.text) << c.json;
    EXPECT_EQ(kv_veil::read_value(value, value_form::quote_stripped), c.stripped) << c.json;
    EXPECT_EQ(kv_veil::read_value(value, value_form::json_text), c.text) << c.json;
  }
}

TEST(JsonValues, StringValueTakesCharactersUpToNul) {
  EXPECT_EQ(kv_veil::string_value(boost::json::parse(R"("plain")")), "plain");
  EXPECT_EQ(kv_veil::string_value(boost::json::parse(R"("a\"b")")), "a\"b");
  EXPECT_EQ(kv_veil::string_value(boost::json::parse(R"("ab\u0000cd")")), "ab");
}

TEST(JsonValues, StringValueOfAnotherKindThrowsNotAString) {
  for (const char* json : {"5", "null", "true", "[]", "{}"}) {
    try {
      (void)kv_veil::string_value(boost::json::parse(json));
      ADD_FAILURE() << json << " was accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "not a string") << json;
    }
  }
}

}  // namespace
