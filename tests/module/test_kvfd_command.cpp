#include "tests/module/module_test_support.h"

#include "tests/support/temp_dir.h"

#include <boost/filesystem/operations.hpp>

#include <string>

using namespace module_test;

namespace {

constexpr const char* k_list_sig =
    "bool KvModuleUniversal::add_to_kvfd_list_file(const string&, const std::map<std::__cxx11::basic_string<char>, "
    "std::__cxx11::basic_string<char> >&, bool)";

TEST_F(ModuleTest, ListFileStartsWithItsHeaderAndSortsTheEntries) {
  FakeModule module;
  const std::string path = dir() + "/vm.kvfd.list";
  ASSERT_TRUE(module.add_to_kvfd_list_file(path, {{"vdb", "/dev/sdc"}, {"config", dir() + "/vm.config"}}, false));
  EXPECT_EQ(kv_test::read_file(path), "KVFD file list:\n   config : " + dir() + "/vm.config\n   vdb : /dev/sdc\n");
  EXPECT_EQ(log_at("Info"), (std::vector<std::string>{
                                "Adding record to kvfd file list: KVFD file list:",
                                "Adding record to kvfd file list: config : " + dir() + "/vm.config",
                                "Adding record to kvfd file list: vdb : /dev/sdc",
                            }));

  // Appending adds entries without a second header.
  ASSERT_TRUE(module.add_to_kvfd_list_file(path, {{"vdc", "/dev/sdd"}}, true));
  EXPECT_EQ(kv_test::read_file(path),
            "KVFD file list:\n   config : " + dir() + "/vm.config\n   vdb : /dev/sdc\n   vdc : /dev/sdd\n");

  // Writing anew truncates; with no entries only the header is left.
  ASSERT_TRUE(module.add_to_kvfd_list_file(path, {}, false));
  EXPECT_EQ(kv_test::read_file(path), "KVFD file list:\n");

  const std::string appended = dir() + "/appended.list";
  ASSERT_TRUE(module.add_to_kvfd_list_file(appended, {{"a", "b"}}, true));
  EXPECT_EQ(kv_test::read_file(appended), "   a : b\n");
}

TEST_F(ModuleTest, ListFileThatCannotBeCreatedFails) {
  FakeModule module;
  EXPECT_FALSE(module.add_to_kvfd_list_file(dir() + "/missing/x.list", {{"a", "b"}}, false));
  EXPECT_EQ(errors(), std::vector<std::string>{std::string(k_list_sig) + ": can't create kvfd list file"});
}

TEST_F(ModuleTest, ListFileOnAFullDiskFails) {
  // /dev/full opens but refuses every write with "no space left on device".
  for (bool append : {false, true}) {
    FakeModule module;
    const size_t before = errors().size();
    EXPECT_FALSE(module.add_to_kvfd_list_file("/dev/full", {{"vdb", "/dev/sdc"}}, append));
    ASSERT_EQ(errors().size(), before + 1);
    EXPECT_EQ(errors().back(), std::string(k_list_sig) + ": can't write kvfd list file: /dev/full");
  }
}

TEST_F(ModuleTest, CompressionNames) {
  EXPECT_EQ(FakeModule::compress_mode_str(1), "None");
  EXPECT_EQ(FakeModule::compress_mode_str(2), "fast");
  EXPECT_EQ(FakeModule::compress_mode_str(3), "optimal");
  EXPECT_EQ(FakeModule::compress_mode_str(4), "best");
  EXPECT_EQ(FakeModule::compress_mode_str(0), "Wrong or deprecated compression type: 0");
  EXPECT_EQ(FakeModule::compress_mode_str(5), "Wrong or deprecated compression type: 5");
}

TEST_F(ModuleTest, DataMoverParametersFollowTheirFixedOrder) {
  FakeModule module;
  std::string command = "kvfd";
  module.add_kvfd_options_to_command(command);
  EXPECT_EQ(command, "kvfd");  // nothing given

  module.kvfd_flags = {{"enable_flexible_dedup", "yes"}, {"worker_parallelism", "4"}, {"unknown", "x"}};
  module.add_kvfd_options_to_command(command);
  EXPECT_EQ(command, "kvfd -e worker_parallelism:4,enable_flexible_dedup:yes");

  // A value the shell would read otherwise stays one argument.
  module.kvfd_flags = {{"network_parallelism", "2; reboot"}};
  command = "kvfd";
  module.add_kvfd_options_to_command(command);
  EXPECT_EQ(command, "kvfd -e 'network_parallelism:2; reboot'");
}

TEST_F(ModuleTest, TaskSecretPath) {
  FakeModule module;
  module.options_.task_id = "42";
  EXPECT_EQ(module.get_task_secret(), "/opt/kelvanor/var/tasks//task_secret_42");
  EXPECT_TRUE(errors().empty());
  module.options_.task_id.clear();
  EXPECT_EQ(module.get_task_secret(), "/opt/kelvanor/var/tasks//task_secret_");
  EXPECT_EQ(errors(), std::vector<std::string>{"Task ID is empty"});
}

TEST(ShieldStringForCommand, EscapesEachSpecialCharacterOnce) {
  struct Case {
    std::string text;
    std::string shielded;
  };
  for (const Case& c : {Case{"/tmp/a b.snap_dir", "/tmp/a\\ b\\.snap_dir"}, Case{"a\\b", "a\\\\b"},
                        Case{"'\"`", "\\'\\\"\\`"}, Case{"^*?[]{}><|;&$!()~#:@.%", "\\^\\*\\?\\[\\]\\{\\}\\>\\<\\|\\;\\&\\$\\!\\(\\)\\~\\#\\:\\@\\.\\%"},
                        Case{"/-_,=+\t\n", "/-_,=+\t\n"}, Case{"", ""}}) {
    std::string text = c.text;
    shield_string_for_command(text);
    EXPECT_EQ(text, c.shielded);
  }
}

class AppendSpecial : public ModuleTest {
 protected:
  std::unique_ptr<FakeModule> make(bool autonomous) {
    KvModuleOptions options;
    options.tmp_operation_directory = "/var/tmp/op";
    options.archive_name = "vm1";
    options.autonomous = autonomous;
    options.media_server = "media";
    options.task_id = "7";
    options.resource_list_file = dir() + "/vm1.kvfd.list";
    return std::make_unique<FakeModule>(options);
  }
};

TEST_F(AppendSpecial, CommandLines) {
  auto plain = make(false);
  std::string command;
  ASSERT_TRUE(plain->compose_append_command(command));
  EXPECT_EQ(command, "cd '/var/tmp/op' && /opt/kelvanor/bin/kvfd -a sha2 -2  -b 16384 -U vm1 --add " + dir() +
                         "/vm1.kvfd.list -M media -T 7 -s /opt/kelvanor/var/tasks//task_secret_7 -m "
                         "/var/tmp/op/vm1.snap_dir/vm1.meta -z None");

  auto autonomous = make(true);
  autonomous->options_.dgst = true;
  autonomous->options_.parallelism = 0;
  autonomous->options_.compress = 0;
  autonomous->options_.memory_threshold = 512;
  autonomous->kvd_hash_length = 512;
  ASSERT_TRUE(autonomous->compose_append_command(command));
  EXPECT_EQ(command, "cd '/var/tmp/op' && /opt/kelvanor/bin/kvfd -a sha2 -5  -b 16384 -u /var/tmp/op/vm1.kvfd --add " +
                         dir() +
                         "/vm1.kvfd.list -g /var/tmp/op/vm1.kvfd.signature --passin /opt/kelvanor/keys/master-key "
                         "--sign /opt/kelvanor/keys/secret-key.pem -p 0 --memory-threshold 512");
}

TEST_F(AppendSpecial, NothingToAddRunsNothing) {
  auto module = make(false);
  EXPECT_TRUE(module->append_some_special());
  EXPECT_TRUE(log().empty());
  EXPECT_FALSE(boost::filesystem::exists(dir() + "/vm1.kvfd.list"));
}

TEST_F(AppendSpecial, FailsBeforeRunningWithoutAListOrAKey) {
  auto no_list = make(false);
  no_list->kvfd_list_extra = {{"extra", "/etc/hosts"}};
  no_list->options_.resource_list_file.clear();
  EXPECT_FALSE(no_list->append_some_special());
  EXPECT_EQ(log_at("Debug"),
            std::vector<std::string>{"bool KvModuleUniversal::append_some_special(): options_.resource_list_file is empty"});

  auto no_key = make(false);
  no_key->kvfd_list_extra = {{"extra", "/etc/hosts"}};
  no_key->options_.crypto = "kuznyechik";
  no_key->options_.key_file = dir() + "/missing.key";
  EXPECT_FALSE(no_key->append_some_special());
  EXPECT_EQ(errors().back(), "there is no key file: " + dir() + "/missing.key");
  // The list was written before the command was composed.
  EXPECT_EQ(kv_test::read_file(dir() + "/vm1.kvfd.list"), "KVFD file list:\n   extra : /etc/hosts\n");
}

}  // namespace
