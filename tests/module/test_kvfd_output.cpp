#include "module/kvfd_output.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

using kelvanor::module::classify_kvfd_line;
using kelvanor::module::kvfd_line_kind;
using kelvanor::module::kvfd_line_splitter;

// Each output is fed whole and one character at a time: both must give the same lines.
TEST(KvfdLineSplitter, CutsAtEveryLineEndAndDropsAnUnterminatedLast) {
  struct Case {
    std::string output;
    std::vector<std::string> lines;
  };
  for (const Case& c : {Case{"a\nb\rlast", {"a", "b"}}, Case{"a\r\n", {"a", ""}}, Case{"\n\n", {"", ""}},
                        Case{"Packed: 10%\rPacked: 20%\r", {"Packed: 10%", "Packed: 20%"}}}) {
    std::vector<std::string> lines[2];
    kvfd_line_splitter splitters[2];
    splitters[0].feed(c.output);
    while (const auto line = splitters[0].next()) lines[0].emplace_back(*line);
    for (const char& ch : c.output) {
      splitters[1].feed({&ch, 1});
      while (const auto line = splitters[1].next()) lines[1].emplace_back(*line);
    }
    EXPECT_EQ(lines[0], c.lines) << c.output;
    EXPECT_EQ(lines[1], c.lines) << c.output;
  }
}

TEST(KvfdLineClassifier, Kinds) {
  struct Case {
    std::string line;
    kvfd_line_kind kind;
    pid_t pid;
    std::string rest;
  };
  const std::string too_big = "KVFD PID: " + std::to_string(static_cast<long long>(INT_MAX) + 1);
  for (const Case& c : {Case{"KVFD PID: 4242abc", kvfd_line_kind::pid, 4242, "4242abc"},
                        Case{"KVFD PID:  +42", kvfd_line_kind::pid, 42, " +42"},
                        Case{"KVFD PID: 0", kvfd_line_kind::bad_pid, 0, "0"},
                        Case{"KVFD PID: -1", kvfd_line_kind::bad_pid, 0, "-1"},
                        Case{"KVFD PID: + 5", kvfd_line_kind::bad_pid, 0, "+ 5"},
                        Case{too_big, kvfd_line_kind::bad_pid, 0, too_big.substr(10)},
                        Case{"Unpacked: 10%", kvfd_line_kind::progress, 0, "10%"},
                        Case{"Transferred: 5/7", kvfd_line_kind::progress, 0, "5/7"},
                        Case{"KVFD PID:12", kvfd_line_kind::other, 0, ""},
                        Case{" Packed: 1", kvfd_line_kind::other, 0, ""}}) {
    const auto line = classify_kvfd_line(c.line);
    EXPECT_EQ(line.kind, c.kind) << c.line;
    EXPECT_EQ(line.pid, c.pid) << c.line;
    EXPECT_EQ(line.rest, c.rest) << c.line;
  }
}

}  // namespace
