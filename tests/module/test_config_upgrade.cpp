#include "common/config_file.h"
#include "tests/module/module_test_support.h"
#include "tests/support/temp_dir.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <unistd.h>

using namespace module_test;

namespace {

namespace stdfs = std::filesystem;

const std::string k_template =
    "# URL of the controller\n"
    "url http://default\n"
    "# user name\n"
    "user admin\n"
    "timeout 30\n";

const std::string k_old =
    "# operator's notes\n"
    "url https://veil.example\n"
    "user operator\n"
    "dropped value\n";

const std::string k_update =
    "# forced by the installer\n"
    "user backup\n";

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

  bool upgrade(KvModuleUniversal& module, const std::string& configs_list) {
    static_cast<FakeModule&>(module).options_.configs_list = configs_list;
    return module.upgrade_config();
  }

  bool contains(const std::vector<std::string>& lines, const std::string& text) const {
    for (const auto& line : lines)
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
};

TEST_F(ConfigUpgrade, MergesOldNewAndUpdateIntoTheNewFile) {
  kv_test::write_file(path("old.conf"), k_old);
  kv_test::write_file(path("new.conf"), k_template);
  kv_test::write_file(path("update.conf"), k_update);
  FakeModule module;

  ASSERT_TRUE(upgrade(module, path("old.conf") + ":" + path("new.conf") + ":" + path("update.conf")));

  EXPECT_EQ(kv_test::read_file(path("new.conf")),
            "# Description variables\n"
            "# URL of the controller\n"
            "#url http://default\n"
            "# user name\n"
            "#user admin\n"
            "#timeout 30\n"
            "#\n"
            "# Variables value\n"
            "url https://veil.example\n"
            "user backup\n"
            "timeout \n");
  EXPECT_EQ(warnings(), std::vector<std::string>{"Variable 'timeout' is mandatory and has no value. Module cannot be used"});
  EXPECT_EQ(errors(), std::vector<std::string>{});
  EXPECT_TRUE(contains(log_at("Info"), "UpgradeConfig options.configs_list: " + path("old.conf") + ":"));
  EXPECT_TRUE(contains(log_at("Info"), "The module is installed"));
  // The other two files are only read.
  EXPECT_EQ(kv_test::read_file(path("old.conf")), k_old);
  EXPECT_EQ(kv_test::read_file(path("update.conf")), k_update);
}

TEST_F(ConfigUpgrade, HooksDecideAbsenceAndRewriteOldValues) {
  kv_test::write_file(path("old.conf"), "url http://old\n");
  kv_test::write_file(path("new.conf"), "url x\noptional y\nrequired z\n");
  HookedModule module;

  ASSERT_TRUE(upgrade(module, path("old.conf") + ":" + path("new.conf") + ":"));

  EXPECT_EQ(module.presence_asked, (std::vector<std::string>{"url", "optional", "required"}));
  const kv_config::ConfigFile result(path("new.conf"));
  EXPECT_EQ(result["url"], "http://old/api");
  EXPECT_FALSE(result.variableExists("optional"));
  EXPECT_EQ(result["required"], "");
  EXPECT_TRUE(contains(warnings(), "Variable 'required' is mandatory"));
  EXPECT_FALSE(contains(warnings(), "'optional'"));
}

TEST_F(ConfigUpgrade, UpdateValueWinsWithoutTheHook) {
  kv_test::write_file(path("old.conf"), "url http://old\n");
  kv_test::write_file(path("new.conf"), "url x\n");
  kv_test::write_file(path("update.conf"), "url http://forced\n");
  HookedModule module;

  ASSERT_TRUE(upgrade(module, path("old.conf") + ":" + path("new.conf") + ":" + path("update.conf")));
  EXPECT_EQ(kv_config::ConfigFile(path("new.conf"))["url"], "http://forced");
}

TEST_F(ConfigUpgrade, MissingOldAndUpdateFilesOnlyWarn) {
  kv_test::write_file(path("new.conf"), "user admin\n");
  kv_test::write_file(path("update.conf"), "user backup\n");
  FakeModule module;

  ASSERT_TRUE(upgrade(module, path("absent.conf") + ":" + path("new.conf") + ":" + path("update.conf")));
  EXPECT_TRUE(contains(warnings(), "Can't open file '" + path("absent.conf") + "'"));
  EXPECT_TRUE(contains(warnings(), "Old configuration file " + path("absent.conf") +
                                       " doesn't exists. Will use only new configuration file."));
  EXPECT_EQ(kv_config::ConfigFile(path("new.conf"))["user"], "backup");
}

TEST_F(ConfigUpgrade, EmptyUpdatePieceMergesOldAndNew) {
  kv_test::write_file(path("old.conf"), "user operator\n");
  kv_test::write_file(path("new.conf"), "user admin\n");
  FakeModule module;

  ASSERT_TRUE(upgrade(module, path("old.conf") + ":" + path("new.conf") + ":"));
  EXPECT_TRUE(contains(warnings(), "Update configuration file doesn't exists"));
  EXPECT_EQ(kv_config::ConfigFile(path("new.conf"))["user"], "operator");
}

TEST_F(ConfigUpgrade, MissingNewFileFailsAndWritesNothing) {
  kv_test::write_file(path("old.conf"), k_old);
  FakeModule module;

  EXPECT_FALSE(upgrade(module, path("old.conf") + "::" + path("update.conf")));
  // The log stream folds the two blanks around the empty path into one.
  EXPECT_EQ(errors(), (std::vector<std::string>{
                          "Can't open file ''",
                          "New configuration file doesn't exists. Merge configuration files impossible."}));
  EXPECT_EQ(kv_test::read_file(path("old.conf")), k_old);
  EXPECT_FALSE(kv_test::file_exists(path("update.conf")));
}

class ConfigUpgradePieces : public ConfigUpgrade, public ::testing::WithParamInterface<std::string> {};

TEST_P(ConfigUpgradePieces, OtherThanThreePiecesIsAWrongFormat) {
  kv_test::write_file(path("new.conf"), k_template);
  std::string list = GetParam();
  for (auto at = list.find("NEW"); at != std::string::npos; at = list.find("NEW")) list.replace(at, 3, path("new.conf"));
  FakeModule module;

  EXPECT_FALSE(upgrade(module, list));
  EXPECT_EQ(errors(), std::vector<std::string>{"Incorrect configuration file format"});
  EXPECT_EQ(kv_test::read_file(path("new.conf")), k_template);
}

INSTANTIATE_TEST_SUITE_P(Lists, ConfigUpgradePieces, ::testing::Values("", "NEW", "NEW:NEW", "NEW:NEW:NEW:NEW", ":::"));

TEST_F(ConfigUpgrade, CommentsComeOnlyFromTheNewFileAndOnce) {
  kv_test::write_file(path("old.conf"), "# old comment\nuser a\n");
  kv_test::write_file(path("new.conf"), "# first\nuser b\n# second\n");
  kv_test::write_file(path("update.conf"), "# update comment\n");
  FakeModule module;

  ASSERT_TRUE(upgrade(module, path("old.conf") + ":" + path("new.conf") + ":" + path("update.conf")));
  EXPECT_EQ(kv_test::read_file(path("new.conf")),
            "# Description variables\n# first\n#user b\n# second\n#\n# Variables value\nuser a\n");
}

TEST_F(ConfigUpgrade, KeepsModeAndSymbolicLinkOfTheNewFile) {
  stdfs::create_directory(path("etc"));
  kv_test::write_file(path("etc/real.conf"), "user admin\n");
  ASSERT_EQ(::chmod(path("etc/real.conf").c_str(), 0640), 0);
  stdfs::create_symlink("etc/real.conf", path("link.conf"));
  FakeModule module;

  ASSERT_TRUE(upgrade(module, ":" + path("link.conf") + ":"));
  EXPECT_TRUE(stdfs::is_symlink(path("link.conf")));
  EXPECT_EQ(kv_config::ConfigFile(path("etc/real.conf"))["user"], "");
  struct stat info {};
  ASSERT_EQ(::stat(path("etc/real.conf").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  // Nothing but the file itself is left in its folder.
  EXPECT_EQ(std::distance(stdfs::directory_iterator(path("etc")), stdfs::directory_iterator()), 1);
}

// A directory loads as an empty file but cannot be replaced by one.
TEST_F(ConfigUpgrade, SaveFailureIsReportedAndLeavesNoStrayFile) {
  stdfs::create_directory(path("new.conf"));
  FakeModule module;

  EXPECT_FALSE(upgrade(module, ":" + path("new.conf") + ":"));
  EXPECT_EQ(errors(), std::vector<std::string>{"Can't save '" + path("new.conf") + "'"});
  EXPECT_FALSE(contains(log_at("Info"), "The module is installed"));
  EXPECT_TRUE(stdfs::is_directory(path("new.conf")));
  EXPECT_EQ(std::distance(stdfs::directory_iterator(dir()), stdfs::directory_iterator()), 1);
}

std::string long_template() {
  std::string text;
  for (int i = 0; i < 50; ++i)
    text += "# description line " + std::to_string(i) + "\nname" + std::to_string(i) + " v\n";
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
    FakeModule module;
    (void)upgrade(module, ":" + path("new.conf") + ":");
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
  const std::string big_template = long_template();
  kv_test::write_file(path("new.conf"), big_template);
  const std::string list = ":" + path("new.conf") + ":";

  const auto upgrade_under_limit = [&]() {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = 512;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    FakeModule module;
    const bool upgraded = upgrade(module, list);
    const bool whole = kv_test::read_file(path("new.conf")) == big_template;
    const auto files = std::distance(stdfs::directory_iterator(dir()), stdfs::directory_iterator());
    std::_Exit(upgraded ? 1 : !whole ? 2 : files != 1 ? 3 : 0);
  };
  EXPECT_EXIT(upgrade_under_limit(),
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
