#include "module/kvfd_output.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

using kelvanor::module::classify_kvfd_line;
using kelvanor::module::kvfd_line_kind;
using kelvanor::module::kvfd_line_splitter;

// The lines of `output` fed whole, checked against the same output fed one character at a time.
std::vector<std::string> lines_of(const std::string& output) {
  std::vector<std::string> lines[2];
  kvfd_line_splitter splitters[2];
  splitters[0].feed(output);
  while (const auto line = splitters[0].next()) lines[0].emplace_back(*line);
  for (const char& c : output) {
    splitters[1].feed({&c, 1});
    while (const auto line = splitters[1].next()) lines[1].emplace_back(*line);
  }
  EXPECT_EQ(lines[0], lines[1]) << output;
  return lines[0];
}

struct SplitCase {
  std::string output;
  std::vector<std::string> lines;
};

class KvfdLineSplitter : public ::testing::TestWithParam<SplitCase> {};

TEST_P(KvfdLineSplitter, CutsAtEveryLineEnd) { EXPECT_EQ(lines_of(GetParam().output), GetParam().lines); }

INSTANTIATE_TEST_SUITE_P(
    Ends, KvfdLineSplitter,
    ::testing::Values(SplitCase{"a\nb\n", {"a", "b"}},                            // LF
                      SplitCase{"a\rb\r", {"a", "b"}},                            // CR
                      SplitCase{"a\r\nb\r\n", {"a", "", "b", ""}},                // CRLF ends an empty line too
                      SplitCase{"a\nlast", {"a"}},                                // unterminated last line dropped
                      SplitCase{"", {}}, SplitCase{"\n", {""}}, SplitCase{"\n\n", {"", ""}},
                      SplitCase{"no end at all", {}},
                      SplitCase{"Packed: 10%\rPacked: 20%\r", {"Packed: 10%", "Packed: 20%"}}));

TEST(KvfdLineClassifier, PidLineGivesThePid) {
  for (const std::string rest : {"4242", "4242 ", " 4242", "+4242", "4242abc"}) {
    const std::string text = "KVFD PID: " + rest;
    const auto line = classify_kvfd_line(text);
    EXPECT_EQ(line.kind, kvfd_line_kind::pid) << rest;
    EXPECT_EQ(line.pid, 4242) << rest;
    EXPECT_EQ(line.rest, rest);
  }
}

TEST(KvfdLineClassifier, ProgressLinesKeepTheirRest) {
  struct Case {
    std::string line;
    std::string rest;
  };
  for (const Case& c : {Case{"Packed: 1 GiB", "1 GiB"}, Case{"Unpacked: 10%", "10%"},
                        Case{"Transferred: 5/7 files", "5/7 files"}, Case{"Packed: ", ""}}) {
    const auto line = classify_kvfd_line(c.line);
    EXPECT_EQ(line.kind, kvfd_line_kind::progress) << c.line;
    EXPECT_EQ(line.rest, c.rest) << c.line;
  }
}

TEST(KvfdLineClassifier, BadPidIsRecognised) {
  const std::string too_big = "KVFD PID: " + std::to_string(static_cast<long long>(INT_MAX) + 1);
  for (const std::string& text : std::vector<std::string>{"KVFD PID: ", "KVFD PID: abc", "KVFD PID: 0", "KVFD PID: -1",
                                 "KVFD PID:  ", "KVFD PID: + 5", too_big}) {
    EXPECT_EQ(classify_kvfd_line(text).kind, kvfd_line_kind::bad_pid) << text;
  }
}

TEST(KvfdLineClassifier, EverythingElseIsKeptForTheReport) {
  for (const std::string text : {"", "error: cannot open /dev/vdb", "KVFD PID:12", "kvfd pid: 12", " Packed: 1",
                                 "packed: 1", "Transferred:5", "KVFD PID"}) {
    EXPECT_EQ(classify_kvfd_line(text).kind, kvfd_line_kind::other) << text;
  }
}

}  // namespace
