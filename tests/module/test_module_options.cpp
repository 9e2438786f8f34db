#include "tests/module/module_test_support.h"

#include "tests/support/temp_dir.h"

#include <boost/algorithm/string/replace.hpp>

using namespace module_test;

namespace {

const std::string k_parse_signature = "bool KvModuleUniversal::parse_module_options(int, char**, KvModuleOptions&)";
const std::string k_param_signature = "void KvModuleUniversal::parce_param_string()";

// One command line: accepted or not, the operation it selects, its one Error line ("" for
// none: the needs-an-operation rules refuse silently) and what standard output begins with.
struct ParseCase {
  std::vector<std::string> args;
  bool accepted;
  KvModuleOperations operation;
  std::string error = "";
  std::function<void(const KvModuleOptions&)> check = nullptr;
  std::string out = "";
};

std::ostream& operator<<(std::ostream& out, const ParseCase& c) {
  for (const auto& arg : c.args) out << '[' << arg << ']';
  return out;
}

class ParseModuleOptions : public ModuleTest, public ::testing::WithParamInterface<ParseCase> {};

TEST_P(ParseModuleOptions, FollowsTheRules) {
  const ParseCase& c = GetParam();
  FakeModule module;
  Args args(c.args);
  EXPECT_EQ(module.parse_module_options(args.argc(), args.argv(), module.options_), c.accepted);
  if (c.accepted) {
    EXPECT_EQ(module.options_.operation, c.operation);
  }
  // A refused resource list file has its own line first; the parser's line is the last.
  EXPECT_EQ(errors().empty() ? "" : errors().back(), c.error);
  EXPECT_EQ(out().rfind(c.out, 0), 0u) << out();
  if (c.check) c.check(module.options_);
}

template <typename T>
auto field(T KvModuleOptions::*member, T value) {
  return [member, value](const KvModuleOptions& o) { EXPECT_EQ(o.*member, value); };
}
auto text(std::string KvModuleOptions::*member, const std::string& value) { return field(member, value); }
auto is_set(bool KvModuleOptions::*member) { return field(member, true); }
auto refused(const std::string& what) { return k_parse_signature + ": " + what; }

INSTANTIATE_TEST_SUITE_P(
    Operations, ParseModuleOptions,
    ::testing::Values(
        ParseCase{{"-u", "a:b:c"}, true, UpgradeConfig, "", text(&KvModuleOptions::configs_list, "a:b:c")},
        ParseCase{{"--delete_from_client_defined_storage", "{}"}, true, DeleteFromClientDefinedStorage, "",
                  text(&KvModuleOptions::client_defined_storage_json, "{}")},
        ParseCase{{"--verify_in_client_defined_storage"}, true, VerifyInClientDefinedStorage},
        ParseCase{{"-o"}, true, ListRestoreParameters},
        ParseCase{{"-3"}, true, IsBackupTypeSupported, "", field(&KvModuleOptions::backup_type, 3u)},
        ParseCase{{"-l", "-L"}, false, OperationNone},
        ParseCase{{"-1", "-2"}, false, OperationNone},
        ParseCase{{"-1", "-D"}, false, OperationNone},
        ParseCase{{"-l", "-o"}, false, OperationNone},
        ParseCase{{"-t", "--autonomous"}, false, OperationNone},
        ParseCase{{"-l", "-L", "-h", "-b", "vm"}, true, OperationNone, "", nullptr,
                  "This utility is a part of Kelvanor project\n"},
        ParseCase{{"-2", "-b", "vm"}, true, Backup, "", field(&KvModuleOptions::backup_type, 2u)},
        ParseCase{{"-b", ""}, false, OperationNone, "Resource is empty"},
        ParseCase{{"-t", "-b", "vm"}, false, OperationNone},
        ParseCase{{"-B", ""}, false, OperationNone, refused("resource is empty")},
        ParseCase{{"-B", "/nonexistent/list.json"}, false, OperationNone,
                  refused("can't parse json file: /nonexistent/list.json")},
        ParseCase{{"-r", "rec", "-d", "/op"}, true, Restore, "", text(&KvModuleOptions::destination, "")},
        ParseCase{{"-r", "rec"}, false, OperationNone, "Restore module: you must define tmp_operation_directory directory."},
        ParseCase{{"-r", "rec", "--need_esign"}, true, Restore, "", is_set(&KvModuleOptions::need_esign)},
        ParseCase{{"-r", ""}, false, OperationNone,
                  "You must define restore object, record ID in server mode or archive file for authonomous mode"},
        ParseCase{{"-1", "-r", "rec"}, false, OperationNone},
        ParseCase{{"-R", "rec", "-d", "/dst"}, true, ApplyReplica, "", text(&KvModuleOptions::destination, "/dst")},
        ParseCase{{"-R", ""}, false, OperationNone, "Record ID is empty"},
        ParseCase{{"-3", "-A", "vm"}, true, CreateReplica, "", field(&KvModuleOptions::backup_type, 3u)},
        ParseCase{{"-A", ""}, false, OperationNone, "Resource is empty"},
        ParseCase{{"-b", "vm", "-A", "vm2"}, false, OperationNone},
        ParseCase{{"-b", "vm", "--autonomous"}, true, Backup, "", is_set(&KvModuleOptions::autonomous)},
        ParseCase{{"-b", "vm", "-m", "srv", "--autonomous"}, false, OperationNone,
                  "Can't use media server with autonomous mode"},
        ParseCase{{"-A", "vm", "--autonomous"}, false, OperationNone}));

INSTANTIATE_TEST_SUITE_P(
    Qualifiers, ParseModuleOptions,
    ::testing::Values(
        ParseCase{{"-l", "-d", "/op"}, false, OperationNone},
        ParseCase{{"--verify_in_client_defined_storage", "-e", "k:v"}, true, VerifyInClientDefinedStorage},
        ParseCase{{"-t", "-e", "k:v"}, false, OperationNone},
        ParseCase{{"-b", "vm", "-z", "0"}, true, Backup, "", field(&KvModuleOptions::compress, 1)},
        ParseCase{{"-b", "vm", "-z", "4"}, true, Backup, "", field(&KvModuleOptions::compress, 4)},
        ParseCase{{"-b", "vm", "-z", "5"}, true, Backup, "", field(&KvModuleOptions::compress, 1)},
        ParseCase{{"-l", "-z", "2"}, false, OperationNone},
        ParseCase{{"-A", "vm", "-j"}, true, CreateReplica, "", is_set(&KvModuleOptions::local_restrictions)},
        ParseCase{{"-r", "rec", "-j"}, false, OperationNone},
        ParseCase{{"-r", "rec", "-n", "arc"}, false, OperationNone},
        ParseCase{{"-r", "rec", "-d", "/op", "--client-archive", "arc"}, true, Restore, "",
                  text(&KvModuleOptions::archive_name, "arc")},
        ParseCase{{"-1", "-b", "vm", "-a"}, true, Backup, "", is_set(&KvModuleOptions::archiving),
                  "Archiving mode: the module '" + k_program + "' will delete the resource after the task is completed\n"},
        ParseCase{{"-2", "-b", "vm", "-a"}, false, OperationNone},
        ParseCase{{"-2", "-b", "vm", "-s", "ref"}, true, Backup, "", text(&KvModuleOptions::reference_snapshot, "ref")},
        ParseCase{{"-b", "vm", "-s", "ref"}, false, OperationNone, "Reference snapshot cannot be defined for full backup."},
        ParseCase{{"-2", "-A", "vm", "-s", "ref"}, false, OperationNone},
        ParseCase{{"-b", "vm", "--autonomous", "-m", ""}, false, OperationNone,
                  "Can't use a media server with autonomous mode"},
        ParseCase{{"-l", "-m", "srv"}, false, OperationNone},
        ParseCase{{"-T", "x"}, false, OperationNone, "Operation 0 incompatible with task ID"},
        ParseCase{{"-b", "vm", "-T", "x"}, false, OperationNone, "You must define media-server before task ID"},
        ParseCase{{"-b", "vm", "-m", "srv", "-T", "x"}, true, Backup, "", text(&KvModuleOptions::task_id, "x")},
        ParseCase{{"-b", "vm", "--autonomous", "-T", "x"}, true, Backup},
        ParseCase{{"--verify_in_client_defined_storage", "-T", "x"}, true, VerifyInClientDefinedStorage},
        ParseCase{{"-r", "rec", "-d", "/op", "-f", "files"}, true, Restore, "",
                  text(&KvModuleOptions::granular_list, "files")},
        // The message ends in a newline of its own, which the log line drops.
        ParseCase{{"-b", "vm", "-f", "files"}, false, OperationNone,
                  "The '-r' option must also be specified for granular restore"},
        ParseCase{{"-b", "vm", "--dgst"}, true, Backup, "", is_set(&KvModuleOptions::dgst)},
        ParseCase{{"-r", "rec", "-d", "/op", "--dgst"}, true, Restore, "", field(&KvModuleOptions::dgst, false)},
        ParseCase{{"--need_esign"}, true, OperationNone, "", is_set(&KvModuleOptions::need_esign)},
        // Options without a rule are stored whatever the operation.
        ParseCase{{"-l", "-C", "gost", "-k", "/k", "-i", "old", "-M", "m.meta", "-p", "4", "-g", "ents", "-G", "512",
                   "--sign_hash", "sha", "--esign", "{}"},
                  true, ListAllResources, "",
                  [](const KvModuleOptions& o) {
                    EXPECT_EQ(o.crypto + o.key_file + o.archive_to_patch + o.meta_file + o.granular_entities +
                                  o.sign_hash + o.esign,
                              "gost/koldm.metaentssha{}");
                    EXPECT_EQ(o.parallelism, 4u);
                    EXPECT_EQ(o.memory_threshold, 512u);
                  }}));

// Texts of the command-line library are replaced by fixed ones: its own substitute placeholders
// such as "%value%" until none is left, which never ends on a value holding one.
INSTANTIATE_TEST_SUITE_P(
    Malformed, ParseModuleOptions,
    ::testing::Values(
        ParseCase{{"--x%canonical_option%"}, false, OperationNone, refused("unrecognised option '--x%canonical_option%'")},
        ParseCase{{"-b"}, false, OperationNone, refused("the required argument for option '--backup' is missing")},
        ParseCase{{"--list"}, false, OperationNone, refused("option '--list' is ambiguous")},
        ParseCase{{"-b", "a", "-b", "b"}, false, OperationNone,
                  refused("option '--backup' cannot be specified more than once")},
        ParseCase{{"-l", "-p-5"}, false, OperationNone, refused("the argument for option '--parallelism' is invalid")},
        ParseCase{{"-l", "-G-1"}, false, OperationNone, refused("the argument for option '--memory-threshold' is invalid")},
        ParseCase{{"-l", "-p", "%value%"}, false, OperationNone,
                  refused("the argument for option '--parallelism' is invalid")},
        ParseCase{{"-l", "-p", "4x"}, false, OperationNone, refused("the argument for option '--parallelism' is invalid")},
        ParseCase{{"-b", "vm", "-e", "first:1,kvd_block_size:abc"}, false, OperationNone, refused("stoi")}));

// The -e parameter string: every setting it reaches, and the Warning and Error lines it leaves.
std::string settings(const FakeModule& m) {
  std::string text = m.kvd_hash_algorithm + " " + std::to_string(m.kvd_hash_length) + " " +
                     std::to_string(m.kvd_block_size) + " " + m.tmp_catalog + " " + m.snapshot_type + " " +
                     std::to_string(m.snapshot_size) + " flags:" + std::to_string(m.file_list) +
                     std::to_string(m.numeric_owner) + std::to_string(m.last) +
                     std::to_string(m.without_deployment_restore) + std::to_string(m.use_snapshot) +
                     std::to_string(m.ignore_errors_snapshot) + " scripts:" + m.script_before_snapshot() + "," +
                     m.script_after_snapshot() + "," + m.script_error_snapshot() + " kvfd:";
  for (const auto& [key, value] : m.kvfd_flags) text += key + "=" + value + ",";
  text += " special:";
  for (const auto& [key, value] : m.special_params) text += key + "=" + value + ",";
  return text;
}

struct ParamCase {
  std::string text;      // @DIR@ stands for the test's folder
  std::string settings;  // as `settings` gives them
  std::vector<std::string> log = {};
};

class ParameterString : public ModuleTest, public ::testing::WithParamInterface<ParamCase> {};

TEST_P(ParameterString, SetsWhatItNames) {
  kv_test::write_file(dir() + "/before.sh", "#!/bin/sh\n");
  FakeModule module;
  Args args({"-b", "vm", "-e", boost::replace_all_copy(GetParam().text, "@DIR@", dir())});
  ASSERT_TRUE(module.parse_module_options(args.argc(), args.argv(), module.options_));
  EXPECT_EQ(boost::replace_all_copy(settings(module), dir(), "@DIR@"), GetParam().settings);
  std::vector<std::string> lines;
  for (const auto& line : log())
    if (line.rfind("Warning", 0) == 0 || line.rfind("Error", 0) == 0) lines.push_back(line);
  EXPECT_EQ(lines, GetParam().log);
  // The module reads its own keys once, after every piece is in.
  EXPECT_EQ(module.calls, std::vector<std::string>{"load_custom_module_parameters"});
  EXPECT_EQ(module.params_seen_by_custom_hook, module.special_params);
}

INSTANTIATE_TEST_SUITE_P(
    All, ParameterString,
    ::testing::Values(
        ParamCase{"kvd_hash_algorithm:gost,kvd_hash_length:512,kvd_block_size:4096,tmp_catalog:/c",
                  "gost 512 4096 /c  10 flags:000001 scripts:,, kvfd: special:"},
        ParamCase{"file_list:t,numeric_owner:true,last:true,without_deployment_restore:yes,use_snapshot:t",
                  "sha2 256 16384   10 flags:111111 scripts:,, kvfd: special:"},
        ParamCase{"file_list:yes,numeric_owner:TRUE,last:t,without_deployment_restore:true,use_snapshot:yes",
                  "sha2 256 16384   10 flags:000001 scripts:,, kvfd: special:"},
        ParamCase{"without_deployment_restore:yes,without_deployment_restore:no,use_snapshot:t,use_snapshot:false,"
                  "ignore_errors_snapshot:no",
                  "sha2 256 16384   10 flags:000111 scripts:,, kvfd: special:"},
        ParamCase{"ignore_errors_snapshot:f,snapshot_type:dattobd,snapshot_size:1",
                  "sha2 256 16384  dattobd 1 flags:000000 scripts:,, kvfd: special:"},
        ParamCase{"lvm_snapshot_size:20", "sha2 256 16384  lvm 20 flags:000011 scripts:,, kvfd: special:"},
        ParamCase{"snapshot_type:zfs,snapshot_size:0",
                  "sha2 256 16384   10 flags:000001 scripts:,, kvfd: special:",
                  {"Warning: Wrong value of snapshot_type, ignore...",
                   "Warning: Wrong OS snaphot size: 0, set to default value: 10%"}},
        ParamCase{"snapshot_size:big,next:1", "sha2 256 16384   10 flags:000001 scripts:,, kvfd: special:next=1,",
                  {"Error: " + k_param_signature + ": can't convert big to int"}},
        // Data mover parameters keep their last value, free keys their first; keys are case-sensitive.
        ParamCase{"worker_parallelism:2,enable_flexible_dedup:yes,worker_parallelism:4,dd:8,Last:true,dd:16",
                  "sha2 256 16384   10 flags:000001 scripts:,, kvfd:enable_flexible_dedup=yes,worker_parallelism=4, "
                  "special:Last=true,dd=8,"},
        ParamCase{"k1,,k2:v2,k3:,a:b:c", "sha2 256 16384   10 flags:000001 scripts:,, kvfd: special:a=b:c,k2=v2,",
                  {"Warning: " + k_param_signature + ": Separator ':' is not found in string: k1",
                   "Warning: " + k_param_signature + ": Separator ':' is not found in string: k3:"}},
        // Scripts must be regular files, but every script key reaches the module.
        ParamCase{"script_before_snapshot:@DIR@/before.sh,script_after_snapshot:@DIR@/none.sh,script_error_snapshot:@DIR@",
                  "sha2 256 16384   10 flags:000001 scripts:@DIR@/before.sh,, kvfd: special:script_after_snapshot=@DIR@/"
                  "none.sh,script_before_snapshot=@DIR@/before.sh,script_error_snapshot=@DIR@,"}));

TEST_F(ModuleTest, FindSpecialParamAnswersOnlyForNonEmptyValues) {
  FakeModule module;
  module.special_params = {{"given", "v"}, {"empty", ""}};
  std::string value = "unchanged";
  EXPECT_FALSE(module.find_special_param("absent", value));
  EXPECT_EQ(value, "unchanged");
  EXPECT_TRUE(module.find_special_param("given", value));
  EXPECT_EQ(value, "v");
  EXPECT_FALSE(module.find_special_param("empty", value));
  EXPECT_TRUE(module.has_special_param_passed_from_client("empty"));
  EXPECT_FALSE(module.has_special_param_passed_from_client("absent"));
}

}  // namespace
