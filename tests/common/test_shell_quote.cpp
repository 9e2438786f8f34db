#include "common/shell_quote.h"

#include "common/kv_utils_common.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using kelvanor_common::shell_quote;
using kelvanor_common::shell_single_quote;
using kelvanor_common::unsafe_shell_value;

// What /bin/sh makes of the words: each argument it passes on, in brackets.
std::string as_shell_sees_it(const std::string& words) {
  std::string output;
  EXPECT_EQ(kv_utils_common::execute_command("printf '[%s]' " + words, output), 0) << words;
  return output;
}

TEST(ShellQuote, OrdinaryValuesStayAsTheyAre) {
  for (const std::string value :
       {"/var/tmp/op/vm1.snap_dir/vm1.meta", "sha2", "task-12", "user@host:/dir", "a=b,c+d%e", "0123456789",
        "ABCxyz_", "/opt/kelvanor/keys/master-key,/opt/kelvanor/keys/secret-key.pem"}) {
    EXPECT_EQ(shell_quote(value), value);
  }
}

TEST(ShellQuote, EveryOtherValueReachesTheCommandAsOneWord) {
  const std::vector<std::string> values = {
      "/tmp/a b", "it's", "a;echo injected", "$(id)", "`id`", "a\"b", "back\\slash", "*", "~root", "a&b|c",
      "tab\there", "'", "''", "x'y'z", "{a,b}", "#comment", "!", "a>b<c", "\xd0\xb4\xd0\xb8\xd1\x81\xd0\xba", "",
  };
  for (const auto& value : values) {
    const std::string quoted = shell_quote(value);
    EXPECT_EQ(quoted.front(), '\'') << value;
    EXPECT_EQ(as_shell_sees_it(quoted), "[" + value + "]") << quoted;
  }
}

TEST(ShellQuote, SingleQuotingAlwaysQuotesAndKeepsTheValue) {
  EXPECT_EQ(shell_single_quote("/var/tmp/op/vm1.meta"), "'/var/tmp/op/vm1.meta'");
  EXPECT_EQ(shell_single_quote("it's"), "'it'\\''s'");
  for (const std::string value : {"plain", "it's here", "a;b", ""})
    EXPECT_EQ(as_shell_sees_it(shell_single_quote(value)), "[" + value + "]");
}

TEST(ShellQuote, NewlineIsRefused) {
  for (const std::string value : {"a\nb", "\n", "/tmp/dir\n; reboot"}) {
    EXPECT_THROW((void)shell_quote(value), unsafe_shell_value);
    EXPECT_THROW((void)shell_single_quote(value), unsafe_shell_value);
  }
  try {
    (void)shell_quote("a\nb");
  } catch (const unsafe_shell_value& error) {
    // The log line that reports it stays on one line.
    EXPECT_EQ(std::string(error.what()), "a value holding a newline cannot be passed to a shell command: a\\nb");
  }
}

}  // namespace
