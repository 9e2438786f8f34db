#include "common/shell_quote.h"

#include "common/kv_utils_common.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using kelvanor_common::shell_quote;
using kelvanor_common::shell_single_quote;

// Each value must reach the command as one word, as it is; /bin/sh shows each argument in brackets.
TEST(ShellQuote, EveryValueReachesTheCommandAsOneWord) {
  const std::string plain = "/a_b.c:d=e@f%g+h,i-0Z";
  EXPECT_EQ(shell_quote(plain), plain);
  std::string words, expected;
  for (const std::string value : {"/tmp/a b", "it's", "a;echo x", "$(id)", "`id`", "a\"b\\c", "*", "x'y'z", "tab\there", ""}) {
    EXPECT_EQ(shell_quote(value).front(), '\'') << value;
    words += " " + shell_quote(value) + " " + shell_single_quote(value);
    expected += "[" + value + "][" + value + "]";
  }
  std::string output;
  EXPECT_EQ(kv_utils_common::execute_command("printf '[%s]'" + words, output), 0) << words;
  EXPECT_EQ(output, expected);
}

TEST(ShellQuote, NewlineIsRefused) {
  EXPECT_THROW((void)shell_quote("/tmp/dir\n; reboot"), kelvanor_common::unsafe_shell_value);
  EXPECT_THROW((void)shell_single_quote("a\nb"), kelvanor_common::unsafe_shell_value);
}

}  // namespace
