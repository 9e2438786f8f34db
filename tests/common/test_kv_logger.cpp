#include "common/kv_logger.h"

#include "tests/common/logger_test_support.h"

#include <boost/filesystem/path.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using kv_common_test::Journal;
using kv_common_test::LoggerStateGuard;
using kv_common_test::make_journal;
using kv_common_test::recorder;
using kv_common_test::StreamCapture;
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

constexpr const char* k_red = "\033[1;31m";
constexpr const char* k_yellow = "\033[1;33m";
constexpr const char* k_white = "\033[1;97m";
constexpr const char* k_reset = " \033[0m";

using Lvl = KvLogLvl::Level;

Lvl level(uint32_t value) { return static_cast<Lvl>(value); }

TEST(KvLogLvl, NameTable) {
  const auto& names = KvLogLvl::log_levels_info_;
  EXPECT_EQ(names.size(), 22u);
  const std::pair<uint32_t, const char*> expected[] = {
      {1, "Error"},          {2, "Warning"},       {3, "WarningMask"},   {4, "Info"},         {7, "InfoMask"},
      {8, "Debug"},          {15, "DebugMask"},    {16, "Debug1"},       {31, "Debug1Mask"},  {32, "Debug2"},
      {63, "Debug2Mask"},    {64, "Debug3"},       {127, "Debug3Mask"},  {128, "Debug4"},     {255, "Debug4Mask"},
      {256, "FuncBase"},     {512, "FuncDetail"},  {1024, "FuncCycle"},  {2048, "FuncAny"},   {3840, "FuncAll"},
      {0x10000, "Measure"},  {0x20000, "SqlReq"},
  };
  for (const auto& [value, name] : expected) {
    ASSERT_TRUE(names.contains(value)) << value;
    EXPECT_EQ(names.at(value), name);
  }
}

TEST(KvLogLvl, ToString) {
  const std::pair<uint32_t, const char*> cases[] = {
      {1, "Error"}, {3, "WarningMask"}, {5, "Unknown"}, {8, "Debug"}, {0, "Unknown"}, {0x30000, "Unknown"},
  };
  for (const auto& [value, name] : cases) EXPECT_EQ(KvLogLvl::to_string(level(value)), name) << value;
}

TEST(KvLogLvl, FromString) {
  struct Case {
    const char* name;
    bool found;
    uint32_t value;
  };
  const Case cases[] = {
      {"Error", true, 1},       {"DebugMask", true, 15},  {"FuncAll", true, 3840}, {"Measure", true, 0x10000},
      {"WarningMask", true, 3}, {"info", false, 0},       {"ErrorMask", false, 0}, {" Info", false, 0},
      {"Info ", false, 0},      {"", false, 0},           {"Unknown", false, 0},
  };
  for (const auto& c : cases) {
    Lvl result = level(12345);
    EXPECT_EQ(KvLogLvl::from_string(c.name, result), c.found) << c.name;
    EXPECT_EQ(static_cast<uint32_t>(result), c.found ? c.value : 12345u) << c.name;
  }
}

TEST(KvLogLvl, GetMask) {
  const std::pair<uint32_t, uint32_t> cases[] = {
      {1, 1},         {2, 3},          {4, 7},       {8, 15},      {16, 31},        {32, 63},
      {64, 127},      {128, 255},      {256, 3840},  {512, 3840},  {1024, 3840},    {2048, 3840},
      {0x10000, 0x10000}, {0x20000, 0x20000},  // no mask shares a bit
      {3, 3},         {5, 5},          {255, 255},   {0, 0},       {0x40000, 0x40000},
  };
  for (const auto& [value, mask] : cases) EXPECT_EQ(KvLogLvl::get_mask(level(value)), mask) << value;
}

class KvLogStreamTest : public ::testing::Test {
 protected:
  TempDir m_dir;
  LoggerStateGuard m_state{m_dir};
  Journal m_journal = make_journal();
};

// How the mask entries and the default list are set up, and who receives a message of each level.
struct RoutingCase {
  const char* name;
  std::vector<std::pair<uint32_t, std::vector<std::string>>> masks;  // key -> destination names
  std::vector<std::string> defaults;
  uint32_t level;
  std::vector<std::string> receivers;  // "stdout" when the fallback standard output gets it
};

TEST_F(KvLogStreamTest, Routing) {
  KvLogStream::global_log_level_ = 0xFFFFFFFF;
  const RoutingCase cases[] = {
      {"nothing configured", {}, {}, KvLogLvl::Info, {"stdout"}},
      {"defaults only", {}, {"D1", "D2"}, KvLogLvl::Info, {"D1", "D2"}},
      {"error entry keeps errors from defaults", {{1, {"E1", "E2"}}}, {"D"}, KvLogLvl::Error, {"E1", "E2"}},
      {"info passes the error entry", {{1, {"E"}}}, {"D"}, KvLogLvl::Info, {"D"}},
      {"key 3 takes errors", {{3, {"W"}}}, {"D"}, KvLogLvl::Error, {"W"}},
      {"key 3 takes warnings", {{3, {"W"}}}, {"D"}, KvLogLvl::Warning, {"W"}},
      {"two matching keys, ascending", {{3, {"W"}}, {1, {"E"}}}, {"D"}, KvLogLvl::Error, {"E", "W"}},
      {"non-matching key between", {{1, {"E"}}, {2, {"X"}}, {7, {"I"}}}, {"D"}, KvLogLvl::Error, {"E", "I"}},
      {"empty later entry skipped", {{1, {"E"}}, {3, {}}}, {"D"}, KvLogLvl::Error, {"E"}},
      {"first matching entry empty: defaults", {{1, {}}, {3, {"W"}}}, {"D"}, KvLogLvl::Error, {"D"}},
      {"first matching entry empty, no defaults", {{1, {}}}, {}, KvLogLvl::Error, {"stdout"}},
      {"mask entry without defaults, other level", {{1, {"E"}}}, {}, KvLogLvl::Info, {"stdout"}},
      {"function levels", {{3840, {"F"}}}, {"D"}, KvLogLvl::FuncCycle, {"F"}},
      {"level without a name", {{1, {"E"}}, {4, {"I"}}}, {"D"}, 5, {"E", "I"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    m_journal->clear();
    KvLogStream::log_level_mask_default_loggers_.clear();
    KvLogStream::default_loggers_.clear();
    for (const auto& [key, names] : c.masks) {
      KvLogStream::log_level_mask_default_loggers_[static_cast<KvLogLvl::MaskLevel>(key)];
      for (const auto& name : names)
        KvLogStream::log_level_mask_default_loggers_[static_cast<KvLogLvl::MaskLevel>(key)].push_back(
            recorder(m_journal, name));
    }
    for (const auto& name : c.defaults) KvLogStream::default_loggers_.push_back(recorder(m_journal, name));

    StreamCapture out(std::cout);
    KvLogStream(level(c.level)) << "m";
    std::vector<std::string> receivers;
    for (const auto& line : *m_journal) receivers.push_back(line.substr(0, line.find('|')));
    if (!out.text().empty()) receivers.push_back("stdout");
    EXPECT_EQ(receivers, c.receivers);
  }
}

TEST_F(KvLogStreamTest, OwnDestinationsOnly) {
  KvLogStream::set_default_loggers(recorder(m_journal, "D"));
  KvLogStream::set_log_level_logger(KvLogLvl::Error, recorder(m_journal, "E"));
  KvLogStream(KvLogLvl::Error, recorder(m_journal, "O1"), recorder(m_journal, "O2")) << "own";
  EXPECT_EQ(*m_journal, (std::vector<std::string>{"O1|" + std::string(k_red) + "Error: own" + k_reset + "\n",
                                                  "O2|" + std::string(k_red) + "Error: own" + k_reset + "\n"}));
}

TEST_F(KvLogStreamTest, GlobalMaskAndMasterSwitch) {
  KvLogStream::set_default_loggers(recorder(m_journal, "D"));
  KvLogStream::global_log_level_ = KvLogLvl::WarningMask;
  KvLogStream(KvLogLvl::Info) << "dropped";
  KvLogStream(KvLogLvl::Info, recorder(m_journal, "O")) << "dropped with own destination";
  KvLogStream(level(0x10000)) << "dropped";
  KvLogStream(KvLogLvl::Warning) << "kept";
  ASSERT_EQ(m_journal->size(), 1u);
  EXPECT_NE(m_journal->front().find("kept"), std::string::npos);

  KvLogStream::m_logging_enabled = false;
  KvLogStream(KvLogLvl::Error) << "switched off";
  EXPECT_EQ(m_journal->size(), 1u);

  KvLogStream::m_logging_enabled = true;
  EXPECT_EQ(KvLogStream::set_global_log_level(KvLogLvl::FuncBase), 0);
  EXPECT_EQ(KvLogStream::global_log_level_, 3840u);
  KvLogStream(KvLogLvl::Error) << "excluded by the function mask";
  KvLogStream(KvLogLvl::FuncAny) << "func";
  ASSERT_EQ(m_journal->size(), 2u);
  EXPECT_EQ(m_journal->back(), "D|FuncAny: func");
}

TEST_F(KvLogStreamTest, SettersReplace) {
  Journal old_journal = make_journal();
  KvLogStream::set_default_loggers(recorder(old_journal, "old"));
  KvLogStream::set_default_loggers(recorder(m_journal, "A"), recorder(m_journal, "B"));
  KvLogStream::set_log_level_logger(KvLogLvl::Error, recorder(old_journal, "old"));
  KvLogStream::set_log_level_logger(KvLogLvl::Error, recorder(m_journal, "E"));
  KvLogStream::set_log_level_logger(KvLogLvl::Warning, recorder(m_journal, "W"));  // key 2, as given

  KvLogStream(KvLogLvl::Error) << "e";
  KvLogStream(KvLogLvl::Warning) << "w";
  KvLogStream(KvLogLvl::Info) << "i";
  EXPECT_TRUE(old_journal->empty());
  std::vector<std::string> receivers;
  for (const auto& line : *m_journal) receivers.push_back(line.substr(0, line.find('|')));
  EXPECT_EQ(receivers, (std::vector<std::string>{"E", "W", "A", "B"}));
  EXPECT_EQ(KvLogStream::log_level_mask_default_loggers_.size(), 2u);
  EXPECT_TRUE(KvLogStream::log_level_mask_default_loggers_.contains(static_cast<KvLogLvl::MaskLevel>(2)));
}

TEST_F(KvLogStreamTest, EntryPointSetUp) {
  const std::string log = m_dir.file("prog.log");
  KvLogStream::set_default_loggers(KvDestination::File(log), KvDestination::Stdout());
  KvLogStream::set_log_level_logger(KvLogLvl::Error, KvDestination::File(log), KvDestination::Stderr());
  KvLogStream::set_global_log_level(KvLogLvl::Debug);

  StreamCapture out(std::cout);
  StreamCapture err(std::cerr);
  KvLogStream(KvLogLvl::Error) << "bad" << std::endl;
  KvLogStream(KvLogLvl::Info) << "fine" << std::endl;
  KvLogStream(KvLogLvl::Debug1) << "too detailed" << std::endl;

  const std::string error_text = std::string(k_red) + "Error: bad" + k_reset + "\n";
  EXPECT_EQ(kv_common_test::without_timestamp(err.text()), error_text);
  EXPECT_EQ(kv_common_test::without_timestamp(out.text()), "Info: fine\n");

  std::istringstream lines(kv_common_test::read_file(log));
  std::string line;
  std::vector<std::string> file_lines;
  while (std::getline(lines, line)) file_lines.push_back(kv_common_test::without_timestamp(line + "\n"));
  EXPECT_EQ(file_lines, (std::vector<std::string>{error_text, "Info: fine\n"}));
}

TEST_F(KvLogStreamTest, TimestampAndPrefix) {
  KvLogStream::set_default_loggers(recorder(m_journal, "D"));
  KvLogStream::global_log_level_ = 0xFFFFFFFF;

  // The recorder reports "NO TIMESTAMP:" when the "[%Y-%m-%d %X] " prefix is missing.
  KvLogStream(KvLogLvl::Info) << "x";
  KvLogStream(level(5)) << "x";
  KvLogStream(level(3)) << "x";
  KvLogStream(KvLogLvl::SqlReq) << "x";
  KvLogStream::tag_ = "kvtag";
  KvLogStream(KvLogLvl::Info) << "x";
  const std::string pid = std::to_string(getpid());
  EXPECT_EQ(*m_journal, (std::vector<std::string>{"D|Info: x", "D|Unknown: x", "D|WarningMask: x", "D|SqlReq: x",
                                                  "D|kvtag[" + pid + "] Info: x"}));
}

// Text written for one message of a level.
struct FormatCase {
  const char* name;
  Lvl level;
  std::string inserted;  // after the "Level: " prefix
  std::string written;
};

TEST_F(KvLogStreamTest, ColoursAndTrimming) {
  KvLogStream::set_default_loggers(recorder(m_journal, "D"));
  KvLogStream::global_log_level_ = 0xFFFFFFFF;
  const std::string red = k_red, yellow = k_yellow, white = k_white, reset = k_reset;
  const FormatCase cases[] = {
      {"error line", KvLogLvl::Error, "sig: text\n", red + "Error: sig: text" + reset + "\n"},
      {"error without line end", KvLogLvl::Error, "no end", red + "Error: no end" + reset + "\n"},
      {"warning", KvLogLvl::Warning, "w\n", yellow + "Warning: w" + reset + "\n"},
      {"debug", KvLogLvl::Debug, "d\n", white + "Debug: d" + reset + "\n"},
      {"multi-line: each line coloured", KvLogLvl::Error, "one\ntwo\n",
       red + "Error: one" + reset + "\n" + red + "two" + reset + "\n"},
      {"trailing blank line dropped", KvLogLvl::Warning, "w\n\n", yellow + "Warning: w" + reset + "\n"},
      {"inner runs keep their first character", KvLogLvl::Error, "a  \t b\n\n\nc   \n",
       red + "Error: a b" + reset + "\n" + red + "c" + reset + "\n"},
      {"blank then line end joins the lines", KvLogLvl::Error, "a \nb", red + "Error: a b" + reset + "\n"},
      {"info as inserted", KvLogLvl::Info, "  spaced  \n\n", "Info:   spaced  \n\n"},
      {"info without line end", KvLogLvl::Info, "open", "Info: open"},
      {"debug1 uncoloured", KvLogLvl::Debug1, "d1 \n", "Debug1: d1 \n"},
      {"mask value uncoloured", level(3), "m\n", "WarningMask: m\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    m_journal->clear();
    KvLogStream(c.level) << c.inserted;
    ASSERT_EQ(m_journal->size(), 1u);
    EXPECT_EQ(m_journal->front(), "D|" + c.written);
  }
}

TEST_F(KvLogStreamTest, UncolouredMessagesContinueTheLine) {
  KvLogStream::set_default_loggers(KvDestination::Stdout());
  StreamCapture out(std::cout);
  KvLogStream(KvLogLvl::Info) << "first";
  KvLogStream(KvLogLvl::Info) << "second" << std::endl;
  const std::string text = out.text();
  EXPECT_TRUE(std::regex_match(text, std::regex(R"(\[[^\]]+\] Info: first\[[^\]]+\] Info: second\n)"))) << text;
}

TEST_F(KvLogStreamTest, ArgumentKinds) {
  KvLogStream::set_default_loggers(recorder(m_journal, "D"));
  const auto written = [&](const auto& fill) {
    m_journal->clear();
    {
      KvLogStream message(KvLogLvl::Info);
      fill(message);
    }
    return m_journal->empty() ? std::string("NOTHING") : m_journal->front().substr(std::string("D|Info: ").size());
  };

  char mutable_text[] = "mutable";
  char* mutable_pointer = mutable_text;
  const char* pointer = "pointer";
  const char* null_pointer = nullptr;
  std::string with_nul("ab\0cd", 5);
  const std::string const_string = "const";
  std::stringstream stream;
  stream << "stream" << '\0' << "hidden";
  const boost::filesystem::path path("/tmp/a\"b&c");
  const boost::json::value json = boost::json::parse(R"({"a": [1, 2.5, "x"], "b": null})");

  EXPECT_EQ(written([](KvLogStream& m) { m << "literal"; }), "literal");
  EXPECT_EQ(written([&](KvLogStream& m) { m << pointer << mutable_pointer << mutable_text; }), "pointermutablemutable");
  EXPECT_EQ(written([&](KvLogStream& m) { m << null_pointer << "after"; }), "after");
  EXPECT_EQ(written([&](KvLogStream& m) { m << with_nul << "|" << std::string("x\0y", 3); }), "ab|x");
  EXPECT_EQ(written([&](KvLogStream& m) { m << const_string << std::string_view("view"); }), "constview");
  EXPECT_EQ(written([&](KvLogStream& m) { m << stream; }), "stream");
  EXPECT_EQ(written([](KvLogStream& m) { m << 42 << ' ' << -7 << ' ' << 4000000000u << ' ' << 18446744073709551615ul; }),
            "42 -7 4000000000 18446744073709551615");
  EXPECT_EQ(written([](KvLogStream& m) { m << 'c' << KvLogLvl::Debug; }), "c8");
  EXPECT_EQ(written([&](KvLogStream& m) { m << path; }), "\"/tmp/a&\"b&&c\"");
  EXPECT_EQ(written([&](KvLogStream& m) { m << path / "d"; }), "\"/tmp/a&\"b&&c/d\"");
  EXPECT_EQ(written([&](KvLogStream& m) { m << json; }), R"({"a":[1,2.5E0,"x"],"b":null})");
  EXPECT_EQ(written([](KvLogStream& m) { m << "a" << std::endl << "b"; }), "a\nb");
}

TEST_F(KvLogStreamTest, BaseManipulatorLastsOneMessage) {
  KvLogStream::set_default_loggers(recorder(m_journal, "D"));
  KvLogStream(KvLogLvl::Info) << std::hex << 255 << " " << std::dec << 255 << " " << std::hex << 16;
  KvLogStream(KvLogLvl::Info) << 255;
  EXPECT_EQ(*m_journal, (std::vector<std::string>{"D|Info: ff 255 10", "D|Info: 255"}));
}

// A destination that fails, or throws, must not keep the message from the others.
class FailingLogger : public KvDestination::KvLogger {
 public:
  explicit FailingLogger(bool throws) : m_throws(throws) {}

 protected:
  int write_log_impl(const std::string&) override {
    if (m_throws) throw std::runtime_error("destination broken");
    return 5;
  }

 private:
  bool m_throws;
};

TEST_F(KvLogStreamTest, FailingDestinationDoesNotStopOthers) {
  KvLogStream::set_default_loggers(std::make_unique<FailingLogger>(false), recorder(m_journal, "A"),
                                   std::make_unique<FailingLogger>(true), recorder(m_journal, "B"));
  KvLogStream(KvLogLvl::Info) << "still written";
  EXPECT_EQ(*m_journal, (std::vector<std::string>{"A|Info: still written", "B|Info: still written"}));
}

}  // namespace
