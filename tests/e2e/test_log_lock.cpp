// No other local user can hold the lock of the program's log: a reader of the log who locks
// every file of the log's folder it can open makes no run wait, and stops no rotation.
#include "tests/support/program_runner.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kv_test {
namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(LogLock, AReaderOfTheLogDelaysNoRunAndStopsNoRotation) {
  const mode_t umask_before = ::umask(022);
  ModuleSandbox sandbox;
  // Every message that finds the log file not empty rotates it first.
  write_file(sandbox.opt("etc/kv_logger.config"), "log_level Info\nlog_file_max_size 0\nlog_file_max_rotate 100\n");
  ASSERT_EQ(sandbox.run({"-l"}).status, 2);  // without a configuration: a few lines of log
  const std::string log = sandbox.opt("log/kv_module_veil_vm.log");
  write_file(log, read_file(log) + "the last line before the reader came\n");
  ASSERT_EQ(::chmod(sandbox.root().c_str(), 0755), 0);  // the way to the log, as for any reader

  // The reader, user nobody, locks what it can open in the log's folder, as long as it lives.
  std::vector<std::string> files;
  for (const auto& entry : boost::filesystem::directory_iterator(sandbox.opt("log")))
    files.push_back(entry.path().string());
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t reader = ::fork();
  ASSERT_GE(reader, 0);
  if (reader == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(1);
    char held = 0;
    for (const std::string& file : files) {
      const int fd = ::open(file.c_str(), O_RDONLY);
      if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) ++held;
    }
    if (::write(ready[1], &held, 1) != 1) ::_exit(1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char held = 0;
  const bool told = ::read(ready[0], &held, 1) == 1;
  ::close(ready[0]);

  const auto start = std::chrono::steady_clock::now();
  const ProgramResult result = sandbox.run({"-l"});
  const auto took = std::chrono::steady_clock::now() - start;
  ::kill(reader, SIGKILL);
  ::waitpid(reader, nullptr, 0);
  ::umask(umask_before);

  ASSERT_TRUE(told && held >= 1) << "the reader holds no lock, not even the log's";
  EXPECT_EQ(result.status, 2);
  EXPECT_LT(took, std::chrono::seconds(3));
  // The log was rotated: the last line before the run went into a copy.
  EXPECT_FALSE(contains(read_file(log), "the last line before the reader came")) << read_file(log);
}

// An operator may keep the log and its lock file elsewhere through links, or give them second
// names, in the log folder only root can write. A link someone else could have planted, or one
// that leads through a folder or link someone else can change, or through too many links, is not
// used, and the run says so once.
// Through a link, the log is rotated where it is kept, and the link stays.
TEST(LogLock, ALinkUnderTheLogsNameIsFollowedOnlyWhereNoOtherUserCouldHaveMadeIt) {
  namespace fs = boost::filesystem;
  struct Row {
    bool hard_link;
    mode_t folder_mode;  // of the log folder
    mode_t kept_mode;    // of the folder its links lead to
    uid_t link_owner;
    int max_size;  // log_file_max_size: with 0, every message after a file's first rotates it
    std::string target;   // of the links, the lock's with ".lock" added
    std::string refusal;  // empty: the linked files are used
  };
  const std::string kept = "../kept/kv.log";
  for (const Row& row :
       {Row{false, 0755, 0755, 0, 1, kept, ""}, Row{true, 0755, 0755, 0, 1, kept, ""},
        Row{false, 0755, 0755, 0, 0, kept, ""}, Row{false, 0755, 0755, 0, 1, "../l1/a", ""},
        Row{false, 01777, 0755, 0, 1, kept, "it is a link in a folder others can write"},
        Row{false, 0775, 0755, 0, 1, kept, "it is a link in a folder others can write"},
        Row{false, 0755, 0755, 65534, 1, kept, "it is a link another user owns"},
        Row{false, 0755, 01777, 0, 1, kept, "it is a link into a folder others can write"},
        Row{false, 0755, 0755, 0, 1, "../elsewhere/shared/logs/kv.log",
            "it is a link through a folder others can write"},
        Row{false, 0755, 0755, 0, 1, "../elsewhere/logs/kv.log", "it is a link through a link another user owns"},
        Row{false, 0755, 0755, 0, 1, "../loop/kv.log", "it leads through too many links"}}) {
    SCOPED_TRACE(std::string(row.hard_link ? "hard link " : "symlink to " + row.target + " ") +
                 std::to_string(row.max_size) + " MB " + row.refusal);
    ModuleSandbox sandbox;
    // Past a link every folder on the way is checked: none of their modes is left to the umask.
    for (const std::string& folder : {sandbox.root() + "/opt", sandbox.opt(), sandbox.opt("elsewhere"),
                                      sandbox.opt("elsewhere/shared")}) {
      fs::create_directories(folder);
      ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    }
    write_file(sandbox.opt("etc/kv_logger.config"),
               "log_level Info\nlog_file_max_size " + std::to_string(row.max_size) + "\nlog_file_max_rotate 100\n");
    // The log's target holds a line already; a missing lock file is made where its link leads.
    write_file(sandbox.opt("kept/kv.log"), "earlier\n");
    if (row.hard_link) write_file(sandbox.opt("kept/kv.log.lock"), "", 0600);
    ASSERT_EQ(::chmod(sandbox.opt("kept").c_str(), row.kept_mode), 0);
    ASSERT_EQ(::chmod(sandbox.opt("log").c_str(), row.folder_mode), 0);
    // The ways the rows' links take: user nobody owns `shared` and the links of `elsewhere`;
    // from l1 to kv.log in kept, five links of root's; loop leads to itself.
    ASSERT_EQ(::chown(sandbox.opt("elsewhere/shared").c_str(), 65534, 65534), 0);
    struct Link {
      std::string name, to;
      uid_t owner;
    };
    for (const Link& link :
         {Link{"elsewhere/shared/logs", "../../kept", 65534}, Link{"elsewhere/logs", "../kept", 65534},
          Link{"l1", "l2", 0}, Link{"l2", "kept", 0}, Link{"kept/a", "b", 0}, Link{"kept/b", "kv.log", 0},
          Link{"kept/a.lock", "b.lock", 0}, Link{"kept/b.lock", "kv.log.lock", 0}, Link{"loop", "loop", 0}}) {
      fs::create_symlink(link.to, sandbox.opt(link.name));
      ASSERT_EQ(::lchown(sandbox.opt(link.name).c_str(), link.owner, link.owner), 0);
    }
    std::set<std::string> names;  // of the log folder, and where its links lead
    for (const std::string suffix : {"", ".lock"}) {
      const std::string name = sandbox.opt("log/kv_module_veil_vm.log" + suffix);
      if (row.hard_link) fs::create_hard_link(sandbox.opt("kept/kv.log" + suffix), name);
      else fs::create_symlink(row.target + suffix, name);
      ASSERT_EQ(::lchown(name.c_str(), row.link_owner, row.link_owner), 0);
      names.insert("kv_module_veil_vm.log" + suffix + (row.hard_link ? "" : " -> " + row.target + suffix));
    }
    std::ptrdiff_t logged = 0;  // lines the runs logged: each is told on standard error too
    for (int run = 0; run < 2; ++run) {
      const ProgramResult result = sandbox.run({"-l"});
      EXPECT_EQ(result.status, 2);
      logged += std::count(result.err.begin(), result.err.end(), '\n');
      const std::string seen = "/opt/kelvanor/log/kv_module_veil_vm.log";  // as the run sees it
      for (const std::string& warning : {"Warning: the log file " + seen + " is not written: ",
                                         "Warning: the lock file " + seen + ".lock is not used: "}) {
        const auto first = result.err.find(warning + row.refusal + "\n");
        EXPECT_EQ(first != std::string::npos, !row.refusal.empty()) << result.err;
        EXPECT_EQ(result.err.find(warning, first == std::string::npos ? 0 : first + 1), std::string::npos)
            << result.err;
      }
    }
    // Every line is in the target or in a copy of it beside it, none in the log folder.
    std::string text;
    for (const auto& entry : fs::directory_iterator(sandbox.opt("kept")))
      if (entry.path().filename() != "kv.log.lock" && !fs::is_symlink(entry.symlink_status()))
        text += read_file(entry.path().string());
    if (row.refusal.empty()) EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + logged) << text;
    else EXPECT_EQ(text, "earlier\n");
    EXPECT_EQ(file_exists(sandbox.opt("kept/kv.log.lock")), row.refusal.empty());
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(sandbox.opt("log")))
      left.insert(entry.path().filename().string() +
                  (fs::is_symlink(entry.symlink_status()) ? " -> " + fs::read_symlink(entry.path()).string() : ""));
    EXPECT_EQ(left, names);
  }
}

}  // namespace
}  // namespace kv_test
