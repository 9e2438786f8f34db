#include "common/kv_logger.h"

#include "tests/common/logger_test_support.h"

#include <boost/algorithm/string/replace.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/json/value.hpp>

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using kv_common_test::Journal;
using kv_common_test::make_journal;
using kv_common_test::recorder;
using kv_common_test::TempDir;

// Every test of this program may log, and the first message of a process reads and may rewrite
// the logger configuration: keep that inside a private directory for the whole run.
class LoggerConfigSandbox : public ::testing::Environment {
 public:
  LoggerConfigSandbox() { KvLogStream::set_config_path_for_tests(m_dir.file("kv_logger.config")); }

 private:
  TempDir m_dir;
};
[[maybe_unused]] ::testing::Environment* const g_sandbox = ::testing::AddGlobalTestEnvironment(new LoggerConfigSandbox);

const std::string k_red = "\033[1;31m";
const std::string k_reset = " \033[0m\n";

using Lvl = KvLogLvl::Level;

Lvl level(uint32_t value) { return static_cast<Lvl>(value); }

// A name is looked up exactly; a mask is a level with every more severe one.
TEST(KvLogLvl, NamesAndMasks) {
  EXPECT_EQ(KvLogLvl::to_string(level(3)), "WarningMask");
  EXPECT_EQ(KvLogLvl::to_string(level(5)), "Unknown");
  Lvl found = level(0);
  EXPECT_TRUE(KvLogLvl::from_string("DebugMask", found));
  EXPECT_EQ(found, 15u);
  EXPECT_FALSE(KvLogLvl::from_string("info", found));
  EXPECT_FALSE(KvLogLvl::from_string("ErrorMask", found));
  const std::pair<uint32_t, uint32_t> masks[] = {{1, 1}, {2, 3}, {128, 255}, {512, 3840}, {0x10000, 0x10000}, {5, 5}};
  for (const auto& [value, mask] : masks) EXPECT_EQ(KvLogLvl::get_mask(level(value)), mask) << value;
}

class KvLogStreamTest : public ::testing::Test {
 protected:
  TempDir m_dir;
  kv_common_test::LoggerStateGuard m_state{m_dir};
  Journal m_journal = make_journal();
};

// Who receives a message of a level, by the mask entries (key -> destination names) and the default list.
TEST_F(KvLogStreamTest, Routing) {
  KvLogStream::global_log_level_ = 0xFFFFFFFF;
  struct Row {
    std::vector<std::pair<uint32_t, std::vector<std::string>>> masks;
    std::vector<std::string> defaults;
    uint32_t level;
    std::string receivers;  // "stdout" when nothing is configured for the message
  };
  const Row rows[] = {
      {{}, {}, KvLogLvl::Info, "stdout"},
      {{{1, {"E1", "E2"}}}, {"D"}, KvLogLvl::Error, "E1 E2"},
      {{{1, {"E"}}}, {"D"}, KvLogLvl::Info, "D"},
      {{{3, {"W"}}, {1, {"E"}}, {2, {"X"}}}, {"D"}, KvLogLvl::Error, "E W"},
      {{{1, {}}, {3, {"W"}}}, {"D"}, KvLogLvl::Error, "D"},
  };
  for (const auto& row : rows) {
    m_journal->clear();
    KvLogStream::log_level_mask_default_loggers_.clear();
    KvLogStream::default_loggers_.clear();
    for (const auto& [key, names] : row.masks) {
      auto& list = KvLogStream::log_level_mask_default_loggers_[static_cast<KvLogLvl::MaskLevel>(key)];
      for (const auto& name : names) list.push_back(recorder(m_journal, name));
    }
    for (const auto& name : row.defaults) KvLogStream::default_loggers_.push_back(recorder(m_journal, name));
    kv_common_test::StreamCapture out(std::cout);
    KvLogStream(level(row.level)) << "m";
    std::string receivers = out.text().empty() ? "" : "stdout";
    for (const auto& line : *m_journal) receivers += (receivers.empty() ? "" : " ") + line.substr(0, line.find('|'));
    EXPECT_EQ(receivers, row.receivers) << "level " << row.level << ", row " << (&row - rows);
  }
  KvLogStream(KvLogLvl::Error, recorder(m_journal, "O")) << "own";
  EXPECT_EQ(m_journal->back(), "O|" + k_red + "Error: own" + k_reset);
}

// The entry point's set-up: errors to the log file and standard error, the rest to the log file and
// standard output, nothing beyond the global level.
TEST_F(KvLogStreamTest, EntryPointSetUp) {
  const std::string log = m_dir.file("prog.log");
  KvLogStream::set_default_loggers(KvDestination::File(log), KvDestination::Stdout());
  KvLogStream::set_log_level_logger(KvLogLvl::Error, KvDestination::File(log), KvDestination::Stderr());
  KvLogStream::set_global_log_level(KvLogLvl::Debug);

  kv_common_test::StreamCapture out(std::cout);
  kv_common_test::StreamCapture err(std::cerr);
  KvLogStream(KvLogLvl::Error) << "bad" << std::endl;
  KvLogStream(KvLogLvl::Info) << "fine" << std::endl;
  KvLogStream(KvLogLvl::Debug1) << "too detailed" << std::endl;

  const std::string error_text = k_red + "Error: bad" + k_reset;
  EXPECT_EQ(kv_common_test::without_timestamp(err.text()), error_text);
  EXPECT_EQ(kv_common_test::without_timestamp(out.text()), "Info: fine\n");
  std::istringstream lines(kv_common_test::read_file(log));
  std::string file_text;
  for (std::string line; std::getline(lines, line);) file_text += kv_common_test::without_timestamp(line + "\n");
  EXPECT_EQ(file_text, error_text + "Info: fine\n");
}

// Coloured levels are trimmed and every line is coloured and reset on its own; the others are
// written as inserted. (The program's own texts: raw, as its literals go in.)
TEST_F(KvLogStreamTest, ColoursAndTrimming) {
  KvLogStream::set_default_loggers(recorder(m_journal, "D"));
  KvLogStream::global_log_level_ = 0xFFFFFFFF;
  const std::tuple<Lvl, std::string, std::string> rows[] = {
      {KvLogLvl::Error, "one  \t two\n\nthree\n\n", k_red + "Error: one two" + k_reset + k_red + "three" + k_reset},
      {KvLogLvl::Warning, "w", "\033[1;33mWarning: w" + k_reset},
      {KvLogLvl::Debug, "d\n", "\033[1;97mDebug: d" + k_reset},
      {KvLogLvl::Debug1, " d1 \n", "Debug1:  d1 \n"},
      {KvLogLvl::Info, "open", "Info: open"},
  };
  for (const auto& [lvl, inserted, written] : rows) {
    m_journal->clear();
    KvLogStream(lvl) << KvLogStream::raw(inserted);
    EXPECT_EQ(*m_journal, std::vector<std::string>{"D|" + written}) << inserted;
  }
}

// Only the program's literals and std::endl break a line: every other text, whatever its type,
// shows its control characters as escapes.
TEST_F(KvLogStreamTest, OutsideTextNeverBreaksALine) {
  KvLogStream::set_default_loggers(recorder(m_journal, "D"));
  std::string text = "s\nMAIN";
  char buffer[8] = "b\x1b[2J";
  std::stringstream stream("ss\r");
  KvLogStream(KvLogLvl::Info) << "lit\n" << text << " " << text.c_str() << " " << std::string_view(text) << " "
                              << buffer << " " << stream << " " << '\n' << boost::json::value("j\xc2\x85")
                              << boost::filesystem::path("p\n") << std::hex << 255 << std::endl;
  EXPECT_EQ(*m_journal, std::vector<std::string>{"D|Info: lit\ns\\nMAIN s\\nMAIN s\\nMAIN b\\x1b[2J ss\\r "
                                                 "\\n\"j\\u0085\"\"p\\n\"ff\n"});
}

TEST_F(KvLogStreamTest, StringsEndAtNulAndTheBaseLastsOneMessage) {
  KvLogStream::set_default_loggers(recorder(m_journal, "D"));
  KvLogStream(KvLogLvl::Info) << std::string("ab\0cd", 5) << std::hex << 255;
  KvLogStream(KvLogLvl::Info) << 255;
  EXPECT_EQ(*m_journal, (std::vector<std::string>{"D|Info: abff", "D|Info: 255"}));
}

// The filter edits each written message once, as it is written (coloured and trimmed), before
// every destination; without one a message is written as it stands.
int g_filtered = 0;
void mask_hunter(std::string& text) {
  ++g_filtered;
  boost::algorithm::replace_all(text, "hunter 2", "***");
}

TEST_F(KvLogStreamTest, FilterEditsEachMessageOnceForEveryDestination) {
  KvLogStream::set_default_loggers(recorder(m_journal, "A"), recorder(m_journal, "B"));
  KvLogStream::set_message_filter(&mask_hunter);
  KvLogStream(KvLogLvl::Info) << "pw hunter 2";
  KvLogStream(KvLogLvl::Error) << "pw hunter  2\n";
  KvLogStream(KvLogLvl::Debug1) << "not written: hunter 2";
  KvLogStream::set_message_filter(nullptr);
  KvLogStream(KvLogLvl::Info) << "hunter 2";
  const std::string error = "|" + k_red + "Error: pw ***" + k_reset;
  EXPECT_EQ(*m_journal, (std::vector<std::string>{"A|Info: pw ***", "B|Info: pw ***", "A" + error, "B" + error,
                                                  "A|Info: hunter 2", "B|Info: hunter 2"}));
  EXPECT_EQ(g_filtered, 2);
}

// A destination that fails, or throws, must not keep the message from the others.
struct FailingLogger : KvDestination::KvLogger {
  explicit FailingLogger(bool throws) : m_throws(throws) {}
  int write_log_impl(const std::string&) override { return m_throws ? throw std::runtime_error("broken") : 5; }
  bool m_throws;
};

TEST_F(KvLogStreamTest, FailingDestinationDoesNotStopOthers) {
  KvLogStream::set_default_loggers(std::make_unique<FailingLogger>(false), recorder(m_journal, "A"),
                                   std::make_unique<FailingLogger>(true), recorder(m_journal, "B"));
  KvLogStream(KvLogLvl::Info) << "still written";
  EXPECT_EQ(*m_journal, (std::vector<std::string>{"A|Info: still written", "B|Info: still written"}));
}

}  // namespace
