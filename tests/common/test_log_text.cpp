#include "common/log_text.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

TEST(LogText, ControlCharactersAreShownAndEverythingElseIsKept) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain 'text' \\ caf\xc3\xa9", "plain 'text' \\ caf\xc3\xa9"},
      {"a\nMAIN ARCHIVE FILENAME:/x\r\n", "a\\nMAIN ARCHIVE FILENAME:/x\\r\\n"},
      {std::string("\t\0\x1b[2J\x7f", 7), "\\t\\x00\\x1b[2J\\x7f"},
      {"next\xc2\x85line\xc2", "next\\u0085line\xc2"},
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(kelvanor_common::log_text(text), shown);
}

}  // namespace
