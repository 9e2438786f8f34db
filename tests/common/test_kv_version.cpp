#include "common/kv_version.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

using kelvanor::Version;

TEST(KvVersion, TextForms) {
  EXPECT_EQ(kelvanor::version_current_string, "2.1.0");
  EXPECT_EQ(kelvanor::version_current.to_string(), "2.1.0");
  EXPECT_EQ(kelvanor::version_current.to_wstring(), L"2.1.0");
  EXPECT_EQ(kelvanor::version_unknown.to_string(), "0.0.0");
  EXPECT_EQ((Version{10, 0, 4294967295u}.to_string()), "10.0.4294967295");

  std::ostringstream narrow;
  narrow << Version{12, 0, 3} << "|" << kelvanor::version_unknown;
  EXPECT_EQ(narrow.str(), "12.0.3|0.0.0");
  std::wostringstream wide;
  wide << Version{4, 5, 6};
  EXPECT_EQ(wide.str(), L"4.5.6");
}

struct AccessCase {
  Version to;
  Version from;
  bool accessible;
};

TEST(KvVersion, IsAccessibleFrom) {
  const AccessCase cases[] = {
      {{2, 1, 0}, {2, 1, 0}, true},   // itself
      {{2, 1, 1}, {2, 1, 0}, true},   // next patch
      {{2, 1, 2}, {2, 1, 0}, false},  // a patch skipped
      {{2, 1, 0}, {2, 1, 1}, false},  // backwards
      {{2, 2, 0}, {2, 1, 7}, true},   // first patch of the next minor
      {{2, 2, 1}, {2, 1, 7}, false},
      {{2, 3, 0}, {2, 1, 7}, false},  // a minor skipped
      {{3, 0, 0}, {2, 9, 4}, true},   // first release of the next major
      {{3, 0, 1}, {2, 9, 4}, false},
      {{3, 1, 0}, {2, 9, 4}, false},
      {{4, 0, 0}, {2, 9, 4}, false},  // a major skipped
      {{2, 0, 0}, {3, 0, 0}, false},
      {{0, 0, 0}, {0, 0, 4294967295u}, true},  // unsigned 32-bit: the next patch wraps to 0
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.to.is_accessible_from(c.from), c.accessible) << c.to << " from " << c.from;
}

struct QuoteCase {
  std::string text;
  char delimiter;
  char escape;
  std::string quoted;
};

TEST(KvQuoting, AsQuoted) {
  const QuoteCase cases[] = {
      {"", '"', '\\', "\"\""},
      {"/var/tmp/a b", '"', '\\', "\"/var/tmp/a b\""},
      {"/tmp/x\"y\\z", '"', '\\', "\"/tmp/x\\\"y\\\\z\""},
      {"it's", '"', '\\', "\"it's\""},  // only the delimiter and the escape are escaped
      {"a'b", '\'', '\\', "'a\\'b'"},
      {"line\nnext\t\xd0\xb0", '"', '\\', "\"line\nnext\t\xd0\xb0\""},
      {"a&b", '"', '&', "\"a&&b\""},
  };
  for (const auto& c : cases) EXPECT_EQ(kelvanor::as_quoted(c.text, c.delimiter, c.escape), c.quoted) << c.text;
  EXPECT_EQ(kelvanor::make_quoted_std(std::string("q\""), '"', '\\'), "\"q\\\"\"");
}

TEST(KvQuoting, SingleQuoted) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "''"},
      {"/opt/kelvanor/etc/kv_logger.config", "'/opt/kelvanor/etc/kv_logger.config'"},
      {"a'b", "'a\\'b'"},
      {"c:\\dir", "'c:\\\\dir'"},
      {"\"x\"", "'\"x\"'"},
  };
  for (const auto& [text, quoted] : cases) {
    EXPECT_EQ(kelvanor::as_quoted_single(text), quoted);
    EXPECT_EQ(kelvanor_common::single_quoted(text), quoted);
  }
  EXPECT_EQ(kelvanor::as_quoted_single("lit'eral"), "'lit\\'eral'");
}

}  // namespace
