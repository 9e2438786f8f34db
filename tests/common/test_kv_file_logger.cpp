#include "common/kv_file_logger.h"

#include "tests/common/logger_test_support.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem/operations.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = boost::filesystem;
namespace pt = boost::posix_time;
using kv_common_test::read_file;
using kv_common_test::without_timestamp;
using kv_common_test::write_file;
using KvDestination::FileLogger;

TEST(KvFileLogger, RotatedFileName) {
  const pt::ptime when(boost::gregorian::date(2026, 12, 5), pt::time_duration(9, 4, 7));
  EXPECT_EQ(KvDestination::rotated_file_name("/x/m.log", when), "/x/m.log.2026-12-5H9-4-7");
}

class KvFileLoggerTest : public ::testing::Test {
 protected:
  // The files of the test's folder but the logs' lock files, which stay once made.
  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_dir.path().string()))
      if (entry.path().extension() != ".lock") names.insert(entry.path().filename().string());
    return names;
  }

  kv_common_test::TempDir m_dir;
  kv_common_test::LoggerStateGuard m_state{m_dir};
  const std::string m_log = m_dir.file("m.log");
};

TEST_F(KvFileLoggerTest, SizeLimitIsStrict) {
  FileLogger::max_size_ = 4;
  for (const std::string existing : {"1234", "12345"}) {
    SCOPED_TRACE(existing);
    for (const auto& name : entries()) fs::remove(m_dir.file(name));
    write_file(m_log, existing);
    ASSERT_EQ(FileLogger(m_log).write_log("next\n"), 0);
    const bool rotated = entries().size() == 2;
    EXPECT_EQ(rotated, existing.size() > 4);
    EXPECT_EQ(without_timestamp(read_file(m_log).substr(rotated ? 0 : existing.size())), "next\n");
  }
}

TEST_F(KvFileLoggerTest, CopiesOfOneSecondAreJoinedNotReplaced) {
  FileLogger::max_size_ = 0;
  FileLogger logger(m_log);
  for (int attempt = 0; attempt < 5; ++attempt) {  // until three writes fall within one second
    for (const auto& name : entries()) fs::remove(m_dir.file(name));
    const auto before = pt::second_clock::local_time();
    for (const char* text : {"first\n", "second\n", "third\n"}) ASSERT_EQ(logger.write_log(text), 0);
    if (pt::second_clock::local_time() != before) continue;
    EXPECT_EQ(without_timestamp(read_file(m_log)), "third\n");
    const std::string copy = read_file(KvDestination::rotated_file_name(m_log, before));
    EXPECT_TRUE(std::regex_match(copy, std::regex(R"(\[[^\]]*\] first\n\[[^\]]*\] second\n)"))) << copy;
    return;
  }
  FAIL() << "could not write three messages within one second";
}

TEST_F(KvFileLoggerTest, KeepsOnlyTheNewestCopies) {
  // '+' and '.' in the log's name are taken literally.
  const std::string log = m_dir.file("m+.log");
  const std::time_t base = 1600000000;
  for (const auto& [name, when] : {std::pair<std::string, std::time_t>{"m+.log.2020-1-1H0-0-1", base + 1},
                                   {"m+.log.2020-1-1H0-0-2", base + 2},
                                   {"m+.log.2020-1-1H0-0-3", base + 3},
                                   {"m+Xlog.2020-1-1H0-0-4", base}}) {
    write_file(m_dir.file(name), name);
    fs::last_write_time(m_dir.file(name), when);
  }
  fs::create_directory(m_dir.file("m+.log.2019-1-1H0-0-0"));  // named like a copy, but a directory
  fs::last_write_time(m_dir.file("m+.log.2019-1-1H0-0-0"), base - 10);
  write_file(log, "full");

  FileLogger::max_size_ = 1;
  FileLogger::max_rotate_ = 2;
  ASSERT_EQ(FileLogger(log).write_log("fresh\n"), 0);
  std::set<std::string> left;  // the copy just made holds "full"
  for (const auto& name : entries()) left.insert(name != "m+.log" && read_file(m_dir.file(name)) == "full" ? "new" : name);
  EXPECT_EQ(left, (std::set<std::string>{"m+.log", "new", "m+.log.2020-1-1H0-0-3", "m+Xlog.2020-1-1H0-0-4",
                                         "m+.log.2019-1-1H0-0-0"}));
}

TEST_F(KvFileLoggerTest, LogLeftByAKilledRotatorGoesIntoACopy) {
  // A rotator killed after taking the log leaves it under its own name: the next rotation moves
  // it into the copy named after its last write.
  const std::string left = m_dir.file("m.log.rotating.7.0");
  write_file(left, "left\n");
  std::tm written{};
  written.tm_year = 2020 - 1900;
  written.tm_mday = 1;
  written.tm_sec = 1;
  written.tm_isdst = -1;
  fs::last_write_time(left, std::mktime(&written));
  write_file(m_log, "full");

  FileLogger::max_size_ = 1;
  FileLogger::max_rotate_ = 2;
  EXPECT_EQ(FileLogger(m_log).write_log("fresh\n"), 0);
  EXPECT_EQ(read_file(m_dir.file("m.log.2020-1-1H0-0-1")), "left\n");
  EXPECT_EQ(entries().size(), 3u);  // with the log and the copy just made
}

TEST_F(KvFileLoggerTest, FailedWrites) {
  EXPECT_EQ(FileLogger(m_dir.file("missing/m.log")).write_log("x\n"), 1);

  // A file with a second name, or a link, that someone else could have made is not written
  // through: in a folder others can write, a file of another user, a link into such a folder.
  // A FIFO does not hold the run.
  const std::string target = m_dir.file("target");
  const std::string open = m_dir.file("open");
  write_file(target, "kept");
  fs::create_directory(open);
  fs::permissions(open, fs::perms::all_all | fs::perms::sticky_bit);
  fs::create_hard_link(target, open + "/hard.log");
  fs::create_symlink(open + "/new.log", m_dir.file("into_open.log"));
  write_file(m_dir.file("theirs"), "kept");
  ASSERT_EQ(::chown(m_dir.file("theirs").c_str(), 65534, 65534), 0);
  fs::create_hard_link(m_dir.file("theirs"), m_dir.file("theirs.log"));
  for (const std::string name : {"open/hard.log", "into_open.log", "theirs.log"})
    EXPECT_EQ(FileLogger(m_dir.file(name)).write_log("x\n"), 1) << name;
  EXPECT_EQ(read_file(target) + read_file(m_dir.file("theirs")), "keptkept");
  EXPECT_FALSE(fs::exists(open + "/new.log"));  // not even made where the link leads
  ASSERT_EQ(::mkfifo(m_dir.file("fifo.log").c_str(), 0600), 0);
  const pid_t run = ::fork();
  ASSERT_GE(run, 0);
  if (run == 0) {
    ::alarm(20);
    ::_exit(FileLogger(m_dir.file("fifo.log")).write_log("x\n"));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(run, &status, 0), run);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status;

  // Directories under every name the rotation may pick in the next seconds make the rename fail:
  // the message goes to the log as it is.
  write_file(m_log, "full");
  FileLogger::max_size_ = 0;
  const auto now = pt::second_clock::local_time();
  for (int s = 0; s < 5; ++s) fs::create_directory(KvDestination::rotated_file_name(m_log, now + pt::seconds(s)));
  FileLogger logger(m_log);
  EXPECT_EQ(logger.write_log("kept\n"), EISDIR);
  EXPECT_EQ(without_timestamp(read_file(m_log).substr(4)), "kept\n");
}

TEST_F(KvFileLoggerTest, RunsSharingOneLogKeepEveryMessageOnce) {
  // Runs of the program for different operations write one log at once; however their rotations
  // interleave, each message must end up in exactly one file: the log or a rotated copy.
  constexpr int k_runs = 8;
  constexpr int k_messages = 1500;
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("message lengths seeded with " + std::to_string(seed));
  FileLogger::max_size_ = 400;
  FileLogger::max_rotate_ = 1000000;
  const auto message = [](int run, int i) { return "run " + std::to_string(run) + " message " + std::to_string(i); };

  std::vector<pid_t> runs;
  for (int run = 0; run < k_runs; ++run) {
    runs.push_back(::fork());
    ASSERT_GE(runs.back(), 0);
    if (runs.back() != 0) continue;
    std::mt19937 random(seed + static_cast<unsigned>(run));
    FileLogger logger(m_log);
    for (int i = 0; i < k_messages; ++i)  // a failed write shows as a lost message
      (void)logger.write_log(message(run, i) + std::string(random() % 64, '.') + "\n");
    ::_exit(0);
  }
  for (const pid_t pid : runs) ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);

  std::map<std::string, int> found;
  const std::regex kept(R"(m\.log(\.[0-9]+-[0-9]+-[0-9]+H[0-9]+-[0-9]+-[0-9]+)?)");
  const std::regex line(R"(\] (run [0-9]+ message [0-9]+)\.*\n)");
  for (const auto& name : entries()) {
    const std::string text = std::regex_match(name, kept) ? read_file(m_dir.file(name)) : "";
    for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) ++found[(*it)[1]];
  }
  int lost = 0;
  int doubled = 0;
  for (int run = 0; run < k_runs; ++run) {
    for (int i = 0; i < k_messages; ++i) {
      const int times = found[message(run, i)];
      lost += times == 0 ? 1 : 0;
      doubled += std::max(times - 1, 0);
    }
  }
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(doubled, 0);
}

TEST_F(KvFileLoggerTest, ALogHeldByAStoppedRunStillTakesTheMessage) {
  // Another run stopped while it holds the full log's lock: this run waits a while, then writes
  // the message without rotating (and without the lock) instead of waiting for ever. A lock
  // file that is not this user's, or has a second name in a folder others can write, is someone
  // else's to hold: it is not used, nor waited for, and the log is rotated as where locks do not
  // work. Either way a file under a rotator's name may be that rotator's at work, and stays.
  const std::string taken = m_dir.file("m.log.rotating.8.0");
  for (const std::string lock_kind :
       {"own", "of another user", "with a second name", "with a second name in a folder others can write"}) {
    SCOPED_TRACE("lock file " + lock_kind);
    const bool own_lock_file = lock_kind == "own" || lock_kind == "with a second name";
    fs::permissions(m_dir.path().string(), lock_kind.ends_with("write") ? fs::perms::all_all : fs::perms::owner_all);
    for (const auto& name : entries()) fs::remove(m_dir.file(name));
    write_file(m_log, "full\n");
    write_file(taken, "held\n");
    const std::string lock_file = KvDestination::lock_file_name(m_log);
    write_file(lock_file, "", 0600);
    ASSERT_EQ(::chown(lock_file.c_str(), lock_kind == "of another user" ? 65534 : ::geteuid(), 0), 0);
    fs::remove(m_dir.file("second.lock"));
    if (lock_kind.starts_with("with a second name")) fs::create_hard_link(lock_file, m_dir.file("second.lock"));
    const int holder = ::open(lock_file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    FileLogger::max_size_ = 1;
    const pid_t run = ::fork();
    ASSERT_GE(run, 0);
    if (run == 0) {
      ::alarm(60);
      ::_exit(FileLogger(m_log).write_log("kept\n") == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(run, &status, 0), run);
    ::close(holder);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    const std::string log = read_file(m_log);
    EXPECT_EQ(log.substr(0, own_lock_file ? 5 : 0), own_lock_file ? "full\n" : "");
    EXPECT_EQ(without_timestamp(log.substr(own_lock_file ? 5 : 0)), "kept\n");
    EXPECT_EQ(read_file(taken), "held\n");
    EXPECT_EQ(entries().size(), own_lock_file ? 2u : 3u);
  }
}

}  // namespace
