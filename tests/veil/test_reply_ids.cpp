#include "veil/reply_ids.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

TEST(ReplyIds, AnIdThatCouldChangeAUrlALogLineOrAFileNameIsRefused) {
  for (const char* id : {"5c3b1e02-1111-4222-8333-000000000002", "task-17", "a:b_c.d~e+f", "...", ""})
    EXPECT_TRUE(kv_veil::is_usable_id(id)) << id;
  const std::vector<std::string> refused = {"a b",  "a/b",  ".",     "..",  "a?b",      "a#b",        "a%2F",
                                            "a\"b", "a'b",  "a\\b",  "a\nb", "a\rb",     "a\tb",       "a\0b"s,
                                            "a\x7f", "a\x1b[2J", "caf\xc3\xa9"};
  for (const std::string& id : refused) EXPECT_FALSE(kv_veil::is_usable_id(id)) << id;
}

}  // namespace
