#include "common/kv_file_logger.h"

#include "tests/common/logger_test_support.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem/operations.hpp>

#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = boost::filesystem;
using kv_common_test::LoggerStateGuard;
using kv_common_test::read_file;
using kv_common_test::TempDir;
using kv_common_test::write_file;
using KvDestination::FileLogger;
using namespace KvDestination;

TEST(KvFileLogger, SizeSettings) {
  static_assert(1_KB == 1024);
  static_assert(3_MB == 3 * 1048576);
  TempDir dir;
  LoggerStateGuard state(dir);
  FileLogger::set_max_size(0);
  EXPECT_EQ(FileLogger::max_size_, 0u);
  FileLogger::set_max_size(7);
  EXPECT_EQ(FileLogger::max_size_, 7u * 1048576u);
  FileLogger::set_max_rotate(4);
  EXPECT_EQ(FileLogger::max_rotate_, 4u);
}

TEST(KvFileLogger, RotatedFileNames) {
  using boost::gregorian::date;
  using boost::posix_time::ptime;
  using boost::posix_time::time_duration;
  const std::pair<ptime, std::string> cases[] = {
      {ptime(date(2026, 12, 5), time_duration(9, 4, 7)), "/x/m.log.2026-12-5H9-4-7"},
      {ptime(date(2025, 1, 31), time_duration(23, 59, 59)), "/x/m.log.2025-1-31H23-59-59"},
      {ptime(date(2030, 10, 10), time_duration(0, 0, 0)), "/x/m.log.2030-10-10H0-0-0"},
      {ptime(date(2024, 2, 29), time_duration(12, 30, 5)), "/x/m.log.2024-2-29H12-30-5"},
  };
  for (const auto& [when, name] : cases) EXPECT_EQ(rotated_file_name("/x/m.log", when), name);
}

class KvFileLoggerTest : public ::testing::Test {
 protected:
  // Names of the regular files and directories in the test directory.
  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_dir.path().string())) names.insert(entry.path().filename().string());
    return names;
  }
  std::vector<std::string> rotated_copies() const {
    std::vector<std::string> copies;
    const std::regex copy_name(R"(m\.log\.\d+-\d+-\d+H\d+-\d+-\d+)");
    for (const auto& name : entries())
      if (std::regex_match(name, copy_name)) copies.push_back(m_dir.file(name));
    return copies;
  }
  // The text as it lands in the file, timestamp and all.
  static std::string stripped(const std::string& text) { return kv_common_test::without_timestamp(text); }

  TempDir m_dir;
  LoggerStateGuard m_state{m_dir};
  const std::string m_log = m_dir.file("m.log");
};

TEST_F(KvFileLoggerTest, AppendsWithTimestamp) {
  FileLogger logger(m_log);
  EXPECT_EQ(logger.write_log("one "), 0);
  EXPECT_EQ(logger.write_log("two\n"), 0);
  const std::string text = read_file(m_log);
  EXPECT_TRUE(std::regex_match(text, std::regex(R"(\[[-0-9]{10} [:0-9]{8}\] one \[[-0-9]{10} [:0-9]{8}\] two\n)")))
      << text;
}

TEST_F(KvFileLoggerTest, SizeLimitIsStrict) {
  struct Case {
    uint64_t existing;
    bool rotated;
  };
  const Case cases[] = {{99, false}, {100, false}, {101, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.existing);
    for (const auto& copy : rotated_copies()) fs::remove(copy);
    FileLogger::max_size_ = 100;
    const std::string existing(c.existing, 'x');
    write_file(m_log, existing);

    FileLogger logger(m_log);
    ASSERT_EQ(logger.write_log("next\n"), 0);

    const auto copies = rotated_copies();
    if (c.rotated) {
      ASSERT_EQ(copies.size(), 1u);
      EXPECT_EQ(read_file(copies.front()), existing);
      EXPECT_EQ(stripped(read_file(m_log)), "next\n");
    } else {
      EXPECT_TRUE(copies.empty());
      EXPECT_EQ(read_file(m_log).substr(0, existing.size()), existing);
      EXPECT_EQ(stripped(read_file(m_log).substr(existing.size())), "next\n");
    }
  }
}

TEST_F(KvFileLoggerTest, ZeroSizeRotatesBeforeEveryMessageAndLosesNone) {
  FileLogger::set_max_size(0);
  FileLogger logger(m_log);
  // Two rotations in one second share a name, the later adding to the earlier copy: retry until
  // the three writes happen within one second.
  for (int attempt = 0; attempt < 5; ++attempt) {
    for (const auto& name : entries()) fs::remove(m_dir.file(name));
    const auto before = boost::posix_time::second_clock::local_time();
    ASSERT_EQ(logger.write_log("first\n"), 0);
    ASSERT_EQ(logger.write_log("second\n"), 0);
    ASSERT_EQ(logger.write_log("third\n"), 0);
    if (boost::posix_time::second_clock::local_time() != before) continue;

    EXPECT_EQ(stripped(read_file(m_log)), "third\n");
    const auto copies = rotated_copies();
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies.front(), rotated_file_name(m_log, before));
    const std::string copy = read_file(copies.front());
    EXPECT_TRUE(std::regex_match(copy, std::regex(R"(\[[^\]]*\] first\n\[[^\]]*\] second\n)"))) << copy;
    return;
  }
  FAIL() << "could not write three messages within one second";
}

TEST_F(KvFileLoggerTest, KeepsOnlyTheNewestCopies) {
  const std::time_t base = 1600000000;
  const std::pair<std::string, std::time_t> old_files[] = {
      {"m.log.2020-1-1H0-0-1", base + 1},
      {"m.log.2020-1-1H0-0-2", base + 2},
      {"m.log.2020-1-1H0-0-3", base + 3},
      {"m.log.2020-1-1H0-0-4", base + 4},
      {"mXlog.2020-1-1H0-0-5", base + 5},      // the log's name is taken literally
      {"m.log.2020-1-1H0-0-1.gz", base},       // not a whole match
      {"m.log.old", base},                     // not a rotated name
      {"other.log.2020-1-1H0-0-1", base},      // another log's copy
  };
  for (const auto& [name, when] : old_files) {
    write_file(m_dir.file(name), name);
    fs::last_write_time(m_dir.file(name), when);
  }
  fs::create_directory(m_dir.file("m.log.2019-1-1H0-0-0"));  // named like a copy, but a directory
  fs::last_write_time(m_dir.file("m.log.2019-1-1H0-0-0"), base - 10);
  write_file(m_log, "full");

  FileLogger::max_size_ = 1;
  FileLogger::max_rotate_ = 3;
  FileLogger logger(m_log);
  ASSERT_EQ(logger.write_log("fresh\n"), 0);

  const std::string new_copy = fs::path(rotated_copies().back()).filename().string();
  EXPECT_EQ(read_file(m_dir.file(new_copy)), "full");
  EXPECT_EQ(entries(), (std::set<std::string>{"m.log", new_copy, "mXlog.2020-1-1H0-0-5", "m.log.2020-1-1H0-0-4",
                                              "m.log.2020-1-1H0-0-3", "m.log.2020-1-1H0-0-1.gz", "m.log.old", "other.log.2020-1-1H0-0-1",
                                              "m.log.2019-1-1H0-0-0"}));
}

TEST_F(KvFileLoggerTest, ZeroRotationsKeepNoCopy) {
  // A name with a character that regular expressions treat specially.
  const std::string log = m_dir.file("m+.log");
  write_file(m_dir.file("m+.log.2020-1-1H0-0-1"), "old");
  write_file(log, "full");
  FileLogger::max_size_ = 0;
  FileLogger::max_rotate_ = 0;
  FileLogger logger(log);
  ASSERT_EQ(logger.write_log("fresh\n"), 0);
  EXPECT_EQ(entries(), std::set<std::string>{"m+.log"});
  EXPECT_EQ(stripped(read_file(log)), "fresh\n");
}

TEST_F(KvFileLoggerTest, FailedRenameLosesOnlyThisMessage) {
  write_file(m_log, "full");
  FileLogger::max_size_ = 0;
  // Directories under every name the rotation may pick in the next few seconds make the rename fail.
  const auto now = boost::posix_time::second_clock::local_time();
  std::vector<std::string> blockers;
  for (int s = 0; s < 5; ++s) {
    blockers.push_back(rotated_file_name(m_log, now + boost::posix_time::seconds(s)));
    fs::create_directory(blockers.back());
  }

  FileLogger logger(m_log);
  EXPECT_EQ(logger.write_log("lost\n"), EISDIR);
  EXPECT_EQ(read_file(m_log), "full");

  for (const auto& blocker : blockers) fs::remove(blocker);
  EXPECT_EQ(logger.write_log("kept\n"), 0);
  EXPECT_EQ(stripped(read_file(m_log)), "kept\n");
}

TEST_F(KvFileLoggerTest, UnopenableFile) {
  auto logger = KvDestination::File(m_dir.file("missing/m.log"));
  EXPECT_EQ(logger->write_log("x\n"), 1);
  auto directory = KvDestination::File(m_dir.path().string());
  EXPECT_EQ(directory->write_log("x\n"), 1);
}

TEST_F(KvFileLoggerTest, FilesByMask) {
  const std::time_t base = 1600000000;
  const std::pair<std::string, std::time_t> files[] = {{"b.txt", base + 20}, {"a.txt", base + 10}, {"c.txt", base + 30},
                                                       {"a.txt.bak", base}, {"x.log", base}};
  for (const auto& [name, when] : files) {
    write_file(m_dir.file(name), name);
    fs::last_write_time(m_dir.file(name), when);
  }
  fs::create_directory(m_dir.file("d.txt"));
  fs::create_directories(m_dir.file("sub/e.txt"));
  write_file(m_dir.file("sub/f.txt"), "nested");

  std::vector<std::pair<std::time_t, std::string>> found;
  for (const auto& [when, entry] : FileLogger::get_files_by_mask(m_dir.path().string(), "[a-z]\\.txt"))
    found.emplace_back(when, entry.path().filename().string());
  EXPECT_EQ(found, (std::vector<std::pair<std::time_t, std::string>>{
                       {base + 10, "a.txt"}, {base + 20, "b.txt"}, {base + 30, "c.txt"}}));

  EXPECT_TRUE(FileLogger::get_files_by_mask(m_dir.file("absent"), ".*").empty());
  EXPECT_TRUE(FileLogger::get_files_by_mask(m_dir.file("x.log"), ".*").empty());
}

TEST_F(KvFileLoggerTest, RotationThroughTheLogStream) {
  KvLogStream::set_default_loggers(KvDestination::File(m_log));
  FileLogger::max_size_ = 10;
  KvLogStream(KvLogLvl::Info) << "first message" << std::endl;
  KvLogStream(KvLogLvl::Warning) << "second message" << std::endl;
  const auto copies = rotated_copies();
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(stripped(read_file(copies.front())), "Info: first message\n");
  EXPECT_EQ(stripped(read_file(m_log)), "\033[1;33mWarning: second message \033[0m\n");
}

}  // namespace
