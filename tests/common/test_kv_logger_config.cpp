#include "common/kv_file_logger.h"
#include "common/kv_logger.h"

#include "tests/common/logger_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

using kv_common_test::Journal;
using kv_common_test::LoggerStateGuard;
using kv_common_test::make_journal;
using kv_common_test::read_file;
using kv_common_test::recorder;
using kv_common_test::StreamCapture;
using kv_common_test::TempDir;
using kv_common_test::write_file;
using KvDestination::FileLogger;

const std::string k_default_config =
    "#Logging level: Error, Warning, Info, Debug, Debug1, Debug2, Debug3, Debug4\n"
    "log_level Info\n"
    "#Maximum size of log file in Mb\n"
    "log_file_max_size 1\n"
    "#Number of stored log file rotations, log file itself is not included\n"
    "log_file_max_rotate 10\n";

TEST(KvLoggerConfig, ProductPath) {
  EXPECT_STREQ(KvLogStream::k_config_path, "/opt/kelvanor/etc/kv_logger.config");
}

class KvLoggerConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_settings(); }
  // Values the configuration must replace.
  static void reset_settings() {
    KvLogStream::global_log_level_ = 0;
    FileLogger::max_size_ = 12345;
    FileLogger::max_rotate_ = 54321;
  }

  TempDir m_dir;
  LoggerStateGuard m_state{m_dir};
  const std::string m_config = m_dir.file("kv_logger.config");
  Journal m_journal = make_journal();
};

TEST_F(KvLoggerConfigTest, FirstMessageWritesTheDefaults) {
  KvLogStream::set_default_loggers(recorder(m_journal, "D"));
  KvLogStream::set_global_log_level(KvLogLvl::Debug);
  KvLogStream::read_config_ = true;

  StreamCapture err(std::cerr);
  KvLogStream(KvLogLvl::Debug) << "excluded once the configuration is read";

  EXPECT_EQ(err.text(), "Warning: KvLogStream config file is absent: Can't open file '" + m_config + "'\n");
  EXPECT_EQ(read_file(m_config), k_default_config);
  EXPECT_FALSE(KvLogStream::read_config_);
  EXPECT_EQ(KvLogStream::global_log_level_, static_cast<uint32_t>(KvLogLvl::InfoMask));
  EXPECT_EQ(FileLogger::max_size_, 1048576u);
  EXPECT_EQ(FileLogger::max_rotate_, 10u);
  EXPECT_TRUE(m_journal->empty());

  // Read once per process.
  std::filesystem::remove(m_config);
  KvLogStream(KvLogLvl::Info) << "written";
  EXPECT_FALSE(std::filesystem::exists(m_config));
  EXPECT_EQ(*m_journal, std::vector<std::string>{"D|Info: written"});
}

TEST_F(KvLoggerConfigTest, FirstMessageOfAnyLevelLoads) {
  write_file(m_config, "log_level Error\nlog_file_max_size 2\nlog_file_max_rotate 3\n");
  KvLogStream::global_log_level_ = KvLogLvl::InfoMask;
  KvLogStream::set_default_loggers(recorder(m_journal, "D"));
  KvLogStream::read_config_ = true;
  KvLogStream(KvLogLvl::Measure) << "not admitted before or after";
  EXPECT_EQ(KvLogStream::global_log_level_, 1u);
  EXPECT_EQ(FileLogger::max_size_, 2u * 1048576u);
  EXPECT_TRUE(m_journal->empty());
}

struct LoadCase {
  const char* name;
  std::string file;
  bool loaded;
  uint32_t mask;
  uint64_t max_size;
  uint64_t max_rotate;
  std::string warning;
};

TEST_F(KvLoggerConfigTest, LoadProperties) {
  const uint64_t mb = 1048576;
  const LoadCase cases[] = {
      {"all keys", "log_level Debug\nlog_file_max_size 5\nlog_file_max_rotate 3\n", true, 15, 5 * mb, 3, ""},
      {"mask name", "log_level DebugMask\nlog_file_max_size 1\nlog_file_max_rotate 1\n", true, 15, mb, 1, ""},
      {"measure only", "log_level Measure\nlog_file_max_size 1\nlog_file_max_rotate 1\n", true, 0x10000, mb, 1, ""},
      {"function level", "log_level FuncDetail\nlog_file_max_size 1\nlog_file_max_rotate 1\n", true, 3840, mb, 1,
       ""},
      {"lower case name gives Info", "log_level debug\nlog_file_max_size 1\nlog_file_max_rotate 1\n", true, 7, mb, 1,
       ""},
      {"empty level gives Info", "log_level\nlog_file_max_size 1\nlog_file_max_rotate 1\n", true, 7, mb, 1, ""},
      {"letters give 0", "log_level Error\nlog_file_max_size abc\nlog_file_max_rotate x1\n", true, 1, 0, 0, ""},
      {"digits then letters", "log_level Error\nlog_file_max_size 7MB\nlog_file_max_rotate 2 copies\n", true, 1,
       7 * mb, 2, ""},
      {"any order, comments and unknown keys",
       "#note\nlog_file_max_rotate 4\nextra value\nlog_file_max_size 3\nlog_level Warning\n", true, 3, 3 * mb, 4, ""},
      {"level missing", "log_file_max_size 5\nlog_file_max_rotate 3\n", false, 0, 12345, 54321,
       "Warning: KvLogStream config variable is absent: log_level\n"},
      {"rotation missing", "log_level Debug\nlog_file_max_size 5\n", false, 0, 12345, 54321,
       "Warning: KvLogStream config variable is absent: log_file_max_rotate\n"},
      {"key only in a comment", "log_level Debug\n#log_file_max_size 5\nlog_file_max_rotate 3\n", false, 0, 12345,
       54321, "Warning: KvLogStream config variable is absent: log_file_max_size\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset_settings();
    write_file(m_config, c.file);
    StreamCapture err(std::cerr);
    EXPECT_EQ(KvLogStream::load_properties(), c.loaded);
    EXPECT_EQ(KvLogStream::global_log_level_, c.mask);
    EXPECT_EQ(FileLogger::max_size_, c.max_size);
    EXPECT_EQ(FileLogger::max_rotate_, c.max_rotate);
    EXPECT_EQ(err.text(), c.warning);
    EXPECT_EQ(read_file(m_config), c.file);  // loading never writes
  }
}

TEST_F(KvLoggerConfigTest, DirectoryIsNoConfiguration) {
  std::filesystem::create_directory(m_config);
  StreamCapture err(std::cerr);
  EXPECT_FALSE(KvLogStream::load_properties());
  EXPECT_EQ(err.text(), "Warning: KvLogStream config file is absent: Can't open file '" + m_config + "'\n");
}

TEST_F(KvLoggerConfigTest, IncompleteFileIsRewrittenWithDefaults) {
  write_file(m_config, "log_level Debug\nlog_file_max_size 5\n");
  KvLogStream::read_config_ = true;
  StreamCapture err(std::cerr);
  KvLogStream(KvLogLvl::Info, recorder(m_journal, "O")) << "x";
  EXPECT_EQ(read_file(m_config), k_default_config);
  EXPECT_EQ(KvLogStream::global_log_level_, 7u);
  EXPECT_EQ(FileLogger::max_size_, 1048576u);
}

TEST_F(KvLoggerConfigTest, UsableFileIsKept) {
  const std::string file = "# mine\nlog_level debug\nlog_file_max_size 2\nlog_file_max_rotate 3\nunknown 1\n";
  write_file(m_config, file);
  KvLogStream::read_config_ = true;
  KvLogStream(KvLogLvl::Info, recorder(m_journal, "O")) << "x";
  EXPECT_EQ(read_file(m_config), file);
  EXPECT_EQ(KvLogStream::global_log_level_, 7u);
  EXPECT_EQ(FileLogger::max_rotate_, 3u);
}

TEST_F(KvLoggerConfigTest, SetProperties) {
  KvLogStream::set_properties(KvLogLvl::Debug2, 4, 0);
  EXPECT_EQ(KvLogStream::global_log_level_, 63u);
  EXPECT_EQ(FileLogger::max_size_, 4u * 1048576u);
  EXPECT_EQ(FileLogger::max_rotate_, 0u);
  EXPECT_EQ(read_file(m_config),
            "#Logging level: Error, Warning, Info, Debug, Debug1, Debug2, Debug3, Debug4\n"
            "log_level Debug2\n"
            "#Maximum size of log file in Mb\n"
            "log_file_max_size 4\n"
            "#Number of stored log file rotations, log file itself is not included\n"
            "log_file_max_rotate 0\n");

  KvLogStream::set_properties(static_cast<KvLogLvl::Level>(5), 1, 10);
  EXPECT_NE(read_file(m_config).find("\nlog_level Unknown\n"), std::string::npos);
}

TEST_F(KvLoggerConfigTest, UnwritableConfigurationStillAppliesDefaults) {
  KvLogStream::set_config_path_for_tests(m_dir.file("no/such/dir/kv_logger.config"));
  KvLogStream::read_config_ = true;
  StreamCapture err(std::cerr);
  KvLogStream(KvLogLvl::Info, recorder(m_journal, "O")) << "x";
  EXPECT_EQ(KvLogStream::global_log_level_, 7u);
  EXPECT_EQ(FileLogger::max_rotate_, 10u);
  EXPECT_EQ(m_journal->size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(m_dir.file("no")));
}

}  // namespace
