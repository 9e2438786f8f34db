#include "common/kv_version.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using kelvanor::Version;

TEST(KvVersion, TextForms) {
  EXPECT_EQ(kelvanor::version_current_string, "2.1.0");
  EXPECT_EQ((Version{12, 0, 3}.to_string()), "12.0.3");
  EXPECT_EQ((Version{4, 5, 6}.to_wstring()), L"4.5.6");
}

TEST(KvVersion, IsAccessibleFrom) {
  const std::tuple<Version, Version, bool> rows[] = {
      {{2, 1, 1}, {2, 1, 0}, true},  {{2, 1, 2}, {2, 1, 0}, false}, {{2, 1, 0}, {2, 1, 1}, false},
      {{2, 2, 0}, {2, 1, 7}, true},  {{2, 2, 1}, {2, 1, 7}, false}, {{3, 0, 0}, {2, 9, 4}, true},
      {{3, 0, 1}, {2, 9, 4}, false}, {{3, 1, 0}, {2, 9, 4}, false},
  };
  for (const auto& [to, from, accessible] : rows) EXPECT_EQ(to.is_accessible_from(from), accessible) << to << " from " << from;
}

// Only the delimiter and the escape character are escaped.
TEST(KvQuoting, AsQuoted) {
  EXPECT_EQ(kelvanor::as_quoted(std::string("/tmp/x\"y\\z it's")), "\"/tmp/x\\\"y\\\\z it's\"");
  EXPECT_EQ(kelvanor::as_quoted_single(std::string("a'b\"")), "'a\\'b\"'");
  EXPECT_EQ(kelvanor_common::single_quoted(""), "''");
}

}  // namespace
