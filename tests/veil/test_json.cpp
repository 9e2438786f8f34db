#include "veil/json_escape.h"

#include "veil/bounded_parse.h"
#include "veil/json_values.h"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

// Whatever the text, its quoted form parses back to exactly the text meant: no value can break a
// body or add members to it. Quote-stripped text already holds the controller's escapes: they are
// kept, and whatever else would end or break the string is escaped.
TEST(Json, QuotedTextsParseBackToTheTextMeant) {
  struct Case {
    std::string text;
    bool stripped;
    std::string meant;
  };
  std::string ascii;
  for (int c = 0; c < 128; ++c) ascii += static_cast<char>(c);
  const Case cases[] = {
      {ascii, false, ascii},
      {R"(x", "admin": true, "y": ")", false, R"(x", "admin": true, "y": ")"},
      {R"(l1\nl2\t\\ \u00e9\/)", true, "l1\nl2\t\\ \u00e9/"},
      {R"(a\ b\ \u12g4)", true, R"(a\ b\ \u12g4)"},
      {"q\", \"x\": \x01", true, "q\", \"x\": \x01"},
      {R"(\ud83d\ude00 \udaaa \udc00 \ud800x)", true, "\xf0\x9f\x98\x80" R"( \udaaa \udc00 \ud800x)"},
      // A quote of the reply stays a quote, and a text saved without it is pasted as it always was.
      {kv_veil::quote_stripped(boost::json::value(R"(vm "q" a\b "n)")), true, R"(vm "q" a\b "n)"},
      {R"(vm \q\ a\\b)", true, R"(vm \q\ a\b)"},
  };
  for (const Case& c : cases) {
    const std::string quoted = c.stripped ? kv_veil::json_quoted_stripped(c.text) : kv_veil::json_quoted(c.text);
    const boost::json::value parsed = boost::json::parse("{\"v\": " + quoted + "}");
    ASSERT_EQ(parsed.as_object().size(), 1u) << c.text;
    EXPECT_EQ(std::string(parsed.at("v").as_string()), c.meant) << c.text;
  }
  EXPECT_EQ(kv_veil::json_quoted("vm-01 \xd0\x9f"), "\"vm-01 \xd0\x9f\"");
  EXPECT_EQ(kv_veil::json_raw(""), "null");
}

// A member kept as JSON text is pasted into a body only when it is one JSON value, however spaced;
// anything else would add members to the body or break it.
TEST(Json, RawMembersAreOneJsonValue) {
  struct Case {
    std::string text;
    std::string pasted;  // empty: refused
  };
  const Case cases[] = {
      {"", "null"},
      {"-1.5E0", "-1.5E0"},
      {"false", "false"},
      {R"("a b")", R"("a b")"},
      {R"({"model":"tpm-tis","x":"q\":1","y":[1,{"z":null}]})",
       R"({"model":"tpm-tis","x":"q\":1","y":[1,{"z":null}]})"},
      {"Infinity", "1e99999"},
      {"-Infinity", "-1e99999"},
      {R"(null, "pci_devices": [{"id": "host-gpu-1"}])", ""},
      {R"(2.5, "datapool": "attacker-pool")", ""},
      {R"({"a":1,"a":2})", ""},
      {"[1, 2]", "[1, 2]"},
      {"{\"a\": 1,\n \"b\": [Infinity, -Infinity, \"Infinity\"]}\n",
       "{\"a\": 1,\n \"b\": [1e99999, -1e99999, \"Infinity\"]}\n"},
      {"1 2", ""},
      {"xInfinity", ""},
      {"NaN", ""},
      {"[1", ""},
      {"tru", ""},
  };
  for (const Case& c : cases) {
    if (c.pasted.empty()) {
      EXPECT_THROW((void)kv_veil::json_raw(c.text), std::invalid_argument) << c.text;
    } else {
      EXPECT_EQ(kv_veil::json_raw(c.text), c.pasted) << c.text;
      const boost::json::value parsed = boost::json::parse("{\"v\": " + kv_veil::json_raw(c.text) + "}");
      EXPECT_EQ(parsed.as_object().size(), 1u) << c.text;
    }
  }
}

// A dense text takes twelve times its size parsed (1.2 MB here), and as much again on the parser's
// stack while the array is open: both count against the bound.
TEST(Json, AParseBeyondItsMemoryBoundIsRefused) {
  std::string dense = "[0";
  for (int i = 1; i < 50000; ++i) dense += ",0";
  dense += "]";
  EXPECT_EQ(kv_veil::parse_bounded(dense).as_array().size(), 50000u);
  EXPECT_THROW((void)kv_veil::parse_bounded(dense, size_t{2} << 20), std::length_error);
}

}  // namespace
