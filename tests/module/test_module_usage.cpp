#include "tests/module/module_test_support.h"

using namespace module_test;

namespace {

TEST_F(ModuleTest, UsageTextIsExactAndEndsWithTheModulesOwnLines) {
  FakeModule module;
  KvModuleOptions options;
  options.program_path = "/usr/bin/kv_module_x";
  module.usage(options);

  const std::string expected =
      "This utility is a part of Kelvanor project\n"
      "Version: 2.1.0.test\n"
      "Usage: /usr/bin/kv_module_x\n"
      "       -V (show version)\n"
      "       -u path_to_old_config:path_to_new_config:path_to_update_config (Update configuration file)\n"
      "       -1 (Full backup supported? It returns 0 if yes)\n"
      "       -2 (Incremental backup supported? It returns 0 if yes)\n"
      "       -3 (Differential backup supported? It returns 0 if yes)\n"
      "       -D (Is client-side deduplication supported? It returns 0 if yes\n"
      "       -a (Does module support archiving? It returns 0 if yes\n"
      "       -h (this message)\n"
      "       -c (list header labels if module is not browsable)\n"
      "       -l (list all resources at this client without headers if module is not browsable)\n"
      "       -L (list all resources at this client with headers if module is not browsable)\n"
      "       -1 [ -C crypto algorithm -k key_file ] ] -b resource -d tmp_operation_directory  [ -m media_server -T task_id | --autonomous ]-n archive_name [ -z compress_type ] [ -j ] [ -p parallelism ] [ -a ] (create full backup or make archiving with -a option )\n"
      "       -2 [ -C crypto algorithm -k key_file ] ] -b resource -d tmp_operation_directory [ -m media_server -T task_id | --autonomous ]-n archive_name -s reference_snapshot [ -z compress_type ] [ -j ] [ -p parallelism ] (create incremental backup)\n"
      "       -3 [ -C crypto algorithm -k key_file ] ] -b resource -d tmp_operation_directory [ -m media_server -T task_id | --autonomous ]-n archive_name -s reference_snapshot [ -z compress_type ] [ -j ] [ -p parallelism ] (create differential backup)\n"
      "       -r record_id [ -m media_server | --autonomous ] [ -C crypto algorithm -k key_file ] [ -p parallelism ] -d destination_directory [ -i archive_to_patch ] (restore record ID)\n"
      "       -t (check the ability to run the module on this client)\n"
      "       --show-backup-options (show supported module special backup options)\n"
      "       --show-module-properties\n"
      "       -o (List restore options)\n"
      "       --autonomous (Autonomous mode supported? It returns 0 if yes)\n"
      "compress_type: 1 - no compress, 2 - fast, 3 - optimal, 4 - best\n"
      "       Remote replication: \n"
      "       -A resource -B max_block_count [ -C crypto algorithm -k key_file ] -d tmp_operation_directory -m media_server -T task_id -n archive_name [ -p parallelism ] (create replica) \n"
      "       -R record_id -B max_block_count [ -C crypto algorithm -k key_file ] -d destination_resource -m media_server [ -p parallelism ] (apply remote replica)\n";
  EXPECT_EQ(out(), expected);
  EXPECT_EQ(module.calls, std::vector<std::string>{"usage_custom"});
}

TEST_F(ModuleTest, ModulePropertiesShowTheCapabilities) {
  KvModuleOptions options;
  options.one_resource_at_a_time = true;
  options.incremental_supported = true;
  options.dedup_supported = true;
  options.restriction_list_path = "/etc/restrictions.list";
  FakeModule module(options);
  module.module_properties();

  const std::string expected =
      "Module properties:\n"
      "\n"
      "Only one data source backup operation is allowed at one time       : true\n"
      "Does the module support working in the client's autonomous mode    : false\n"
      "Does the module support incremental backup                         : true\n"
      "Does the module support differential backup                        : false\n"
      "Does this module support deduplication                             : true\n"
      "Does this module support archiving                                 : false\n"
      "Location of the restriction list                                   : /etc/restrictions.list";
  EXPECT_EQ(out(), expected);
}

TEST_F(ModuleTest, ModulePropertyLabelsLineUp) {
  FakeModule module;
  module.module_properties();
  std::istringstream lines(out());
  std::string line;
  int labelled = 0;
  while (std::getline(lines, line)) {
    if (line.empty() || line == "Module properties:") continue;
    EXPECT_EQ(line.find(": "), 67u) << line;
    ++labelled;
  }
  EXPECT_EQ(labelled, 7);
}

}  // namespace
