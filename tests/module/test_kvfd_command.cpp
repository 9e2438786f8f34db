#include "tests/module/module_test_support.h"

#include "tests/support/temp_dir.h"

#include <csignal>
#include <string>

#include <sys/resource.h>

using namespace module_test;

namespace {

constexpr const char* k_list_sig =
    "bool KvModuleUniversal::add_to_kvfd_list_file(const string&, const std::map<std::__cxx11::basic_string<char>, "
    "std::__cxx11::basic_string<char> >&, bool)";

TEST_F(ModuleTest, ListFileHasOneHeaderAndSortedEntries) {
  FakeModule module;
  const std::string path = dir() + "/vm.kvfd.list";
  ASSERT_TRUE(module.add_to_kvfd_list_file(path, {{"vdb", "/dev/sdc"}, {"config", "/op/vm.config"}}, false));
  ASSERT_TRUE(module.add_to_kvfd_list_file(path, {{"vdc", "/dev/sdd"}}, true));
  EXPECT_EQ(kv_test::read_file(path), "KVFD file list:\n   config : /op/vm.config\n   vdb : /dev/sdc\n   vdc : /dev/sdd\n");
  EXPECT_FALSE(module.add_to_kvfd_list_file(dir() + "/missing/x.list", {}, false));
  EXPECT_EQ(errors(), std::vector<std::string>{std::string(k_list_sig) + ": can't create kvfd list file"});
}

TEST_F(ModuleTest, ListFileOnAFullDiskFails) {
  // A file size limit refuses writes past it with "file too large", as a full disk does.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  for (bool append : {false, true}) {
    FakeModule module;
    const std::string path = dir() + "/full.list";
    rlimit limit = saved;
    limit.rlim_cur = 8;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const bool added = module.add_to_kvfd_list_file(path, {{"vdb", "/dev/sdc"}}, append);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
    EXPECT_FALSE(added);
    EXPECT_EQ(errors().back(), std::string(k_list_sig) + ": can't write kvfd list file: " + path);
  }
  std::signal(SIGXFSZ, SIG_DFL);
}

TEST_F(ModuleTest, DataMoverParametersFollowTheirFixedOrderAsOneWord) {
  FakeModule module;
  std::string command = "kvfd";
  module.add_kvfd_options_to_command(command);
  EXPECT_EQ(command, "kvfd");
  module.kvfd_flags = {{"enable_flexible_dedup", "yes"}, {"network_parallelism", "2; reboot"}, {"unknown", "x"}};
  module.add_kvfd_options_to_command(command);
  EXPECT_EQ(command, "kvfd -e 'network_parallelism:2; reboot,enable_flexible_dedup:yes'");
}

TEST(ShieldStringForCommand, EscapesEachSpecialCharacterOnce) {
  for (const auto& [text, shielded] : std::vector<std::pair<std::string, std::string>>{
           {"/tmp/a b.snap_dir", "/tmp/a\\ b\\.snap_dir"},
           {"\\'\"`^*?[]{}><|;&$!()~#:@%", "\\\\\\'\\\"\\`\\^\\*\\?\\[\\]\\{\\}\\>\\<\\|\\;\\&\\$\\!\\(\\)\\~\\#\\:\\@\\%"},
           {"/-_,=+\t\n", "/-_,=+\t\n"}}) {
    std::string value = text;
    shield_string_for_command(value);
    EXPECT_EQ(value, shielded);
  }
}

// No operation calls it: one smoke row.
TEST_F(ModuleTest, AppendCommand) {
  KvModuleOptions options;
  options.tmp_operation_directory = "/var/tmp/my op";
  options.archive_name = "vm1";
  options.autonomous = true;
  options.resource_list_file = "/var/tmp/my op/vm1.kvfd.list";
  FakeModule module(options);
  std::string command;
  ASSERT_TRUE(module.compose_append_command(command));
  EXPECT_EQ(command, "cd '/var/tmp/my op' && /opt/kelvanor/bin/kvfd -a sha2 -2  -b 16384 -u '/var/tmp/my op/vm1.kvfd' "
                     "--add '/var/tmp/my op/vm1.kvfd.list' -z None");
}

}  // namespace
