#include "common/config_file.h"
#include "tests/module/module_test_support.h"
#include "tests/support/process_helpers.h"
#include "tests/support/temp_dir.h"

#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <unistd.h>

using namespace module_test;

namespace {

namespace stdfs = std::filesystem;

// A module whose merge hooks say something: "optional" may be absent and "url" is rewritten.
class HookedModule : public FakeModule {
 public:
  std::vector<std::string> presence_asked;

  int get_config_option_presence_type(const std::string& name) override {
    presence_asked.push_back(name);
    return name == "optional" ? 1 : 0;
  }
  std::string resolve_config_option_merge_conflict(const std::string& name, const std::string& old_value) override {
    return name == "url" ? old_value + "/api" : old_value;
  }
};

class ConfigUpgrade : public ModuleTest {
 protected:
  std::string path(const std::string& name) const { return dir() + "/" + name; }

  bool upgrade(FakeModule& module, const std::string& configs_list) {
    module.options_.configs_list = configs_list;
    return module.upgrade_config();
  }
  bool upgrade(const std::string& configs_list) {
    FakeModule module;
    return upgrade(module, configs_list);
  }
  size_t files_in(const std::string& folder) const {
    return static_cast<size_t>(std::distance(stdfs::directory_iterator(folder), stdfs::directory_iterator()));
  }
};

TEST_F(ConfigUpgrade, MergesOldNewAndUpdateIntoTheNewFile) {
  const std::string old_text = "# operator's notes\nurl https://veil.example\nuser operator\ndropped value\n";
  kv_test::write_file(path("old.conf"), old_text);
  kv_test::write_file(path("new.conf"), "# URL of the controller\nurl http://default\n# user name\nuser admin\ntimeout 30\n");
  kv_test::write_file(path("update.conf"), "# forced by the installer\nuser backup\n");

  ASSERT_TRUE(upgrade(path("old.conf") + ":" + path("new.conf") + ":" + path("update.conf")));
  EXPECT_EQ(kv_test::read_file(path("new.conf")),
            "# Description variables\n# URL of the controller\n#url http://default\n# user name\n#user admin\n"
            "#timeout 30\n#\n# Variables value\nurl https://veil.example\nuser backup\ntimeout \n");
  EXPECT_EQ(warnings(), std::vector<std::string>{"Variable 'timeout' is mandatory and has no value. Module cannot be used"});
  EXPECT_EQ(errors(), std::vector<std::string>{});
  EXPECT_EQ(log_at("Info"), (std::vector<std::string>{"UpgradeConfig options.configs_list: " + path("old.conf") + ":" +
                                                          path("new.conf") + ":" + path("update.conf"),
                                                      "The module is installed"}));
  EXPECT_EQ(kv_test::read_file(path("old.conf")), old_text);
}

TEST_F(ConfigUpgrade, HooksDecideAbsenceAndRewriteOldValuesButNotUpdateValues) {
  kv_test::write_file(path("old.conf"), "url http://old\nuser old\n");
  kv_test::write_file(path("new.conf"), "url x\nuser x\noptional y\nrequired z\n");
  kv_test::write_file(path("update.conf"), "user http://forced\n");
  HookedModule module;

  ASSERT_TRUE(upgrade(module, path("old.conf") + ":" + path("new.conf") + ":" + path("update.conf")));
  EXPECT_EQ(module.presence_asked, (std::vector<std::string>{"url", "user", "optional", "required"}));
  const kv_config::ConfigFile result(path("new.conf"));
  EXPECT_EQ(result["url"], "http://old/api");
  EXPECT_EQ(result["user"], "http://forced");
  EXPECT_FALSE(result.variableExists("optional"));
  EXPECT_EQ(warnings(), std::vector<std::string>{"Variable 'required' is mandatory and has no value. Module cannot be used"});
}

TEST_F(ConfigUpgrade, MissingOldAndUpdateFilesOnlyWarn) {
  kv_test::write_file(path("new.conf"), "user admin\n");

  ASSERT_TRUE(upgrade(path("absent.conf") + ":" + path("new.conf") + ":"));
  EXPECT_EQ(warnings(), (std::vector<std::string>{
                            "Can't open file '" + path("absent.conf") + "'",
                            "Old configuration file " + path("absent.conf") +
                                " doesn't exists. Will use only new configuration file.",
                            "Can't open file ''", "Update configuration file doesn't exists",
                            "Variable 'user' is mandatory and has no value. Module cannot be used"}));
}

// The log stream folds the two blanks around the empty path into one.
TEST_F(ConfigUpgrade, MissingNewFileFailsAndWritesNothing) {
  EXPECT_FALSE(upgrade(path("old.conf") + "::" + path("update.conf")));
  EXPECT_EQ(errors(), (std::vector<std::string>{
                          "Can't open file ''",
                          "New configuration file doesn't exists. Merge configuration files impossible."}));
  EXPECT_EQ(files_in(dir()), 0u);
}

class ConfigUpgradePieces : public ConfigUpgrade, public ::testing::WithParamInterface<std::string> {};

TEST_P(ConfigUpgradePieces, OtherThanThreePiecesIsAWrongFormat) {
  kv_test::write_file(path("new.conf"), "user admin\n");
  std::string list = GetParam();
  for (auto at = list.find("NEW"); at != std::string::npos; at = list.find("NEW")) list.replace(at, 3, path("new.conf"));

  EXPECT_FALSE(upgrade(list));
  EXPECT_EQ(errors(), std::vector<std::string>{"Incorrect configuration file format"});
  EXPECT_EQ(kv_test::read_file(path("new.conf")), "user admin\n");
}

INSTANTIATE_TEST_SUITE_P(Lists, ConfigUpgradePieces, ::testing::Values("", "NEW:NEW", "NEW:NEW:NEW:NEW"));

TEST_F(ConfigUpgrade, KeepsModeAndSymbolicLinkOfTheNewFile) {
  stdfs::create_directory(path("etc"));
  kv_test::write_file(path("etc/real.conf"), "user admin\n");
  ASSERT_EQ(::chmod(path("etc/real.conf").c_str(), 0640), 0);
  stdfs::create_symlink("etc/real.conf", path("link.conf"));

  ASSERT_TRUE(upgrade(":" + path("link.conf") + ":"));
  EXPECT_TRUE(stdfs::is_symlink(path("link.conf")));
  EXPECT_EQ(kv_config::ConfigFile(path("etc/real.conf"))["user"], "");
  struct stat info {};
  ASSERT_EQ(::stat(path("etc/real.conf").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(files_in(path("etc")), 1u);
}

// The installer may run as the module's own user, whose shipped template is read-only: the
// upgrade runs in a real process that has given up root, in a folder that user may write.
TEST_F(ConfigUpgrade, UnprivilegedUserUpgradesItsReadOnlyFile) {
  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  kv_test::write_file(path("new.conf"), "user admin\n", 0444);
  for (const std::string& owned : {dir(), path("new.conf")})
    ASSERT_EQ(::chown(owned.c_str(), nobody->pw_uid, nobody->pw_gid), 0);

  const kv_test::ForkedRun run = kv_test::run_forked([&] {
    if (::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0) return 90;
    FakeModule module;
    module.options_.operation = UpgradeConfig;
    module.options_.configs_list = ":" + path("new.conf") + ":";
    return static_cast<int>(module.run());
  });
  ASSERT_TRUE(WIFEXITED(run.wait_status)) << run.errors;
  EXPECT_EQ(WEXITSTATUS(run.wait_status), 0) << run.errors;
  EXPECT_EQ(kv_config::ConfigFile(path("new.conf"))["user"], "");
  struct stat info {};
  ASSERT_EQ(::stat(path("new.conf").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0444u);
  EXPECT_EQ(info.st_uid, nobody->pw_uid);
  EXPECT_EQ(files_in(dir()), 1u);
}

// A directory loads as an empty file but cannot be replaced by one.
TEST_F(ConfigUpgrade, SaveFailureIsReportedAndLeavesNoStrayFile) {
  stdfs::create_directory(path("new.conf"));

  EXPECT_FALSE(upgrade(":" + path("new.conf") + ":"));
  EXPECT_EQ(errors(), std::vector<std::string>{"Can't save '" + path("new.conf") + "'"});
  EXPECT_EQ(files_in(dir()), 1u);
}

std::string long_template() {
  std::string text;
  for (int i = 0; i < 50; ++i) text += "# description line " + std::to_string(i) + "\nname" + std::to_string(i) + " v\n";
  return text;
}

// The merged file holds the controller's password: a run cut short while writing it (here by the
// file-size limit's signal) leaves nothing that others than the old file's readers can read.
TEST_F(ConfigUpgrade, MergedFileIsNeverWiderThanTheOldOne) {
  kv_test::write_file(path("new.conf"), long_template());
  ASSERT_EQ(::chmod(path("new.conf").c_str(), 0600), 0);
  const auto upgrade_until_killed = [&]() {
    rlimit limit{};
    ::setrlimit(RLIMIT_CORE, &limit);
    limit.rlim_cur = limit.rlim_max = 512;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    (void)upgrade(":" + path("new.conf") + ":");
    std::_Exit(0);
  };
  EXPECT_EXIT(upgrade_until_killed(), ::testing::KilledBySignal(SIGXFSZ), "");
  int partial = 0;
  for (const auto& entry : stdfs::directory_iterator(dir())) {
    if (entry.path().extension() != ".new") continue;
    ++partial;
    EXPECT_EQ(entry.status().permissions(), stdfs::perms::owner_read | stdfs::perms::owner_write);
  }
  EXPECT_EQ(partial, 1);
}

// A write that runs out of room (here the file-size limit, as a full disk would) must leave the
// shipped template whole; the check runs in a child process that owns the limit.
TEST_F(ConfigUpgrade, ShortWriteLeavesTheNewFileWhole) {
  kv_test::write_file(path("new.conf"), long_template());
  const auto upgrade_under_limit = [&]() {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = 512;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const bool upgraded = upgrade(":" + path("new.conf") + ":");
    std::_Exit(upgraded ? 1 : kv_test::read_file(path("new.conf")) != long_template() ? 2 : files_in(dir()) != 1 ? 3 : 0);
  };
  EXPECT_EXIT(upgrade_under_limit(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
