#include "common/kv_file_logger.h"
#include "common/kv_logger.h"

#include "tests/common/logger_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

using KvDestination::FileLogger;

// What the first message of a run reads; the defaults it writes are pinned end to end.
TEST(KvLoggerConfig, LoadProperties) {
  const uint64_t mb = 1048576;
  const struct {
    const char* file;  // nullptr: a directory stands at the path
    bool loaded;
    uint32_t mask;
    uint64_t max_size;
    uint64_t max_rotate;
    std::string warning;
  } cases[] = {
      {"log_level Debug\nlog_file_max_size 5\nlog_file_max_rotate 3\n", true, 15, 5 * mb, 3, ""},
      {"#c\nlog_file_max_rotate x1\nextra v\nlog_file_max_size 7MB\nlog_level debug\n", true, 7, 7 * mb, 0, ""},
      {"log_level Error\nlog_file_max_size 5\n", false, 0, 1, 2,
       "Warning: KvLogStream config variable is absent: log_file_max_rotate\n"},
      {nullptr, false, 0, 1, 2, "Warning: KvLogStream config file is absent: Can't open file '"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file ? c.file : "directory");
    kv_common_test::TempDir dir;
    kv_common_test::LoggerStateGuard state(dir);
    const std::string path = dir.file("kv_logger.config");
    KvLogStream::global_log_level_ = 0;
    FileLogger::max_size_ = 1;
    FileLogger::max_rotate_ = 2;
    if (c.file) kv_common_test::write_file(path, c.file);
    else std::filesystem::create_directory(path);
    kv_common_test::StreamCapture err(std::cerr);
    EXPECT_EQ(KvLogStream::load_properties(), c.loaded);
    EXPECT_EQ(KvLogStream::global_log_level_, c.mask);
    EXPECT_EQ(FileLogger::max_size_, c.max_size);
    EXPECT_EQ(FileLogger::max_rotate_, c.max_rotate);
    EXPECT_EQ(err.text(), c.file ? c.warning : c.warning + path + "'\n");
  }
}

// Read, and rewritten when unusable, by the first message of a run only.
TEST(KvLoggerConfig, FirstMessageOnly) {
  kv_common_test::TempDir dir;
  kv_common_test::LoggerStateGuard state(dir);
  KvLogStream::read_config_ = true;
  kv_common_test::StreamCapture err(std::cerr);
  KvLogStream(KvLogLvl::Info) << "first" << std::endl;
  EXPECT_TRUE(std::filesystem::remove(dir.file("kv_logger.config")));
  KvLogStream(KvLogLvl::Info) << "second" << std::endl;
  EXPECT_FALSE(std::filesystem::exists(dir.file("kv_logger.config")));
}

}  // namespace
