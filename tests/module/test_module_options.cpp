#include "tests/module/module_test_support.h"

#include <fstream>

using namespace module_test;

namespace {

const std::string k_parse_signature = "bool KvModuleUniversal::parse_module_options(int, char**, KvModuleOptions&)";
const std::string k_param_signature = "void KvModuleUniversal::parce_param_string()";

struct ParseCase {
  std::vector<std::string> args;
  bool accepted;
  KvModuleOperations operation;  // checked when accepted
  std::string error;             // the one Error line; empty: none at all
  std::function<void(const KvModuleOptions&)> check = nullptr;
};

std::ostream& operator<<(std::ostream& out, const ParseCase& c) {
  for (const auto& arg : c.args) out << '[' << arg << ']';
  return out;
}

class ParseModuleOptions : public ModuleTest, public ::testing::WithParamInterface<ParseCase> {};

TEST_P(ParseModuleOptions, FollowsTheCombinationRules) {
  const ParseCase& c = GetParam();
  FakeModule module;
  Args args(c.args);

  EXPECT_EQ(module.parse_module_options(args.argc(), args.argv(), module.options_), c.accepted);
  if (c.accepted) {
    EXPECT_EQ(module.options_.operation, c.operation);
  }
  if (c.error.empty()) {
    EXPECT_TRUE(errors().empty()) << errors().front();
  } else {
    // A refused resource list file has its own line first; the parser's line is the last.
    ASSERT_FALSE(errors().empty());
    EXPECT_EQ(errors().back(), c.error);
  }
  if (c.check) c.check(module.options_);
}

auto backup_type(uint32_t type) {
  return [type](const KvModuleOptions& o) { EXPECT_EQ(o.backup_type, type); };
}

// Rules that only select an operation, and the "needs an earlier operation" rules that refuse
// silently.
INSTANTIATE_TEST_SUITE_P(
    OperationSwitches, ParseModuleOptions,
    ::testing::Values(
        ParseCase{{"-V"}, true, ShowVersion, ""},
        ParseCase{{"-u", "a:b:c"}, true, UpgradeConfig, "",
                  [](const KvModuleOptions& o) { EXPECT_EQ(o.configs_list, "a:b:c"); }},
        ParseCase{{"-c"}, true, ListHeaderLabels, ""},
        ParseCase{{"-L"}, true, ListAllResourcesWithHeaders, ""},
        ParseCase{{"--delete_from_client_defined_storage", "{}"}, true, DeleteFromClientDefinedStorage, "",
                  [](const KvModuleOptions& o) { EXPECT_EQ(o.client_defined_storage_json, "{}"); }},
        ParseCase{{"--verify_in_client_defined_storage"}, true, VerifyInClientDefinedStorage, ""},
        ParseCase{{"--show-backup-options"}, true, ShowBackupOptions, ""},
        ParseCase{{"--show-module-properties"}, true, ShowModuleProperties, ""},
        ParseCase{{"-t"}, true, CheckClient, ""},
        ParseCase{{"-l"}, true, ListAllResources, ""},
        ParseCase{{"--list-all-resource"}, true, ListAllResources, ""},
        ParseCase{{"-l", "-L"}, false, OperationNone, ""},
        ParseCase{{"-t", "-V"}, false, OperationNone, ""},
        ParseCase{{"-u", "a:b:c", "-c"}, false, OperationNone, ""},
        ParseCase{{"-V", "-c"}, false, OperationNone, ""},
        ParseCase{{"-c", "--delete_from_client_defined_storage", "{}"}, false, OperationNone, ""},
        ParseCase{{"-c", "--verify_in_client_defined_storage"}, false, OperationNone, ""},
        ParseCase{{"--verify_in_client_defined_storage", "--show-backup-options"}, false, OperationNone, ""},
        ParseCase{{"--show-backup-options", "--show-module-properties"}, false, OperationNone, ""},
        ParseCase{{"--show-module-properties", "-t"}, false, OperationNone, ""},
        ParseCase{{"-1"}, true, IsBackupTypeSupported, "", backup_type(1)},
        ParseCase{{"-2"}, true, IsBackupTypeSupported, "", backup_type(2)},
        ParseCase{{"-3"}, true, IsBackupTypeSupported, "", backup_type(3)},
        ParseCase{{"-1", "-2"}, false, OperationNone, ""},
        ParseCase{{"-V", "-3"}, false, OperationNone, ""},
        ParseCase{{"-D"}, true, IsDedupSupported, ""},
        ParseCase{{"-1", "-D"}, false, OperationNone, ""},
        ParseCase{{"-o"}, true, ListRestoreParameters, ""},
        ParseCase{{"-l", "-o"}, false, OperationNone, ""},
        ParseCase{{"-a"}, true, IsArchivingSupported, ""},
        ParseCase{{"--autonomous"}, true, IsAutonomousSupported, ""},
        ParseCase{{"-t", "--autonomous"}, false, OperationNone, ""}));

// The operations on a resource or record, with their own messages.
INSTANTIATE_TEST_SUITE_P(
    DataOperations, ParseModuleOptions,
    ::testing::Values(
        ParseCase{{"-b", "vm"}, true, Backup, "",
                  [](const KvModuleOptions& o) {
                    EXPECT_EQ(o.resource, "vm");
                    EXPECT_EQ(o.backup_type, 1u);
                  }},
        ParseCase{{"-2", "-b", "vm"}, true, Backup, "", backup_type(2)},
        ParseCase{{"-b", ""}, false, OperationNone, "Resource is empty"},
        ParseCase{{"-t", "-b", "vm"}, false, OperationNone, ""},
        ParseCase{{"-B", ""}, false, OperationNone, k_parse_signature + ": resource is empty"},
        ParseCase{{"-B", "/nonexistent/list.json"}, false, OperationNone,
                  k_parse_signature + ": can't parse json file: /nonexistent/list.json"},
        ParseCase{{"-l", "-B", "x.json"}, false, OperationNone, ""},
        ParseCase{{"-r", "rec", "-d", "/op"}, true, Restore, "",
                  [](const KvModuleOptions& o) { EXPECT_EQ(o.record_id, "rec"); }},
        ParseCase{{"-r", "rec"}, false, OperationNone,
                  "Restore module: you must define tmp_operation_directory directory."},
        ParseCase{{"-r", "rec", "--need_esign"}, true, Restore, ""},
        ParseCase{{"-r", ""}, false, OperationNone,
                  "You must define restore object, record ID in server mode or archive file for authonomous mode"},
        ParseCase{{"-1", "-r", "rec"}, false, OperationNone, ""},
        ParseCase{{"-R", "rec"}, true, ApplyReplica, ""},
        ParseCase{{"-R", ""}, false, OperationNone, "Record ID is empty"},
        ParseCase{{"-1", "-R", "rec"}, false, OperationNone, ""},
        ParseCase{{"-A", "vm"}, true, CreateReplica, ""},
        ParseCase{{"-3", "-A", "vm"}, true, CreateReplica, "", backup_type(3)},
        ParseCase{{"-A", ""}, false, OperationNone, "Resource is empty"},
        ParseCase{{"-b", "vm", "-A", "vm2"}, false, OperationNone, ""},
        ParseCase{{"-b", "vm", "--autonomous"}, true, Backup, "",
                  [](const KvModuleOptions& o) { EXPECT_TRUE(o.autonomous); }},
        ParseCase{{"-r", "rec", "-d", "/op", "--autonomous"}, true, Restore, "",
                  [](const KvModuleOptions& o) { EXPECT_TRUE(o.autonomous); }},
        ParseCase{{"-b", "vm", "-m", "srv", "--autonomous"}, false, OperationNone,
                  "Can't use media server with autonomous mode"},
        ParseCase{{"-A", "vm", "--autonomous"}, false, OperationNone, ""}));

// Options that qualify an operation.
INSTANTIATE_TEST_SUITE_P(
    Qualifiers, ParseModuleOptions,
    ::testing::Values(
        ParseCase{{"-b", "vm", "-d", "/op"}, true, Backup, "",
                  [](const KvModuleOptions& o) {
                    EXPECT_EQ(o.tmp_operation_directory, "/op");
                    EXPECT_EQ(o.destination, "");
                  }},
        ParseCase{{"-R", "rec", "-d", "/dst"}, true, ApplyReplica, "",
                  [](const KvModuleOptions& o) { EXPECT_EQ(o.destination, "/dst"); }},
        ParseCase{{"-l", "-d", "/op"}, false, OperationNone, ""},
        ParseCase{{"--verify_in_client_defined_storage", "-d", "/op"}, false, OperationNone, ""},
        ParseCase{{"-A", "vm", "-e", "k:v"}, true, CreateReplica, ""},
        ParseCase{{"--verify_in_client_defined_storage", "-e", "k:v"}, true, VerifyInClientDefinedStorage, ""},
        ParseCase{{"-t", "-e", "k:v"}, false, OperationNone, ""},
        ParseCase{{"-b", "vm", "-z", "9"}, true, Backup, "",
                  [](const KvModuleOptions& o) { EXPECT_EQ(o.compress, 1); }},
        ParseCase{{"-b", "vm", "-z", "0"}, true, Backup, "",
                  [](const KvModuleOptions& o) { EXPECT_EQ(o.compress, 1); }},
        ParseCase{{"-b", "vm", "-z-2"}, true, Backup, "",
                  [](const KvModuleOptions& o) { EXPECT_EQ(o.compress, 1); }},
        ParseCase{{"-b", "vm", "-z", "4"}, true, Backup, "",
                  [](const KvModuleOptions& o) { EXPECT_EQ(o.compress, 4); }},
        ParseCase{{"-l", "-z", "2"}, false, OperationNone, ""},
        ParseCase{{"-r", "rec", "-d", "/op", "-z", "2"}, true, Restore, "",
                  [](const KvModuleOptions& o) { EXPECT_EQ(o.compress, 2); }},
        ParseCase{{"-A", "vm", "-j"}, true, CreateReplica, "",
                  [](const KvModuleOptions& o) { EXPECT_TRUE(o.local_restrictions); }},
        ParseCase{{"-r", "rec", "-j"}, false, OperationNone, ""},
        ParseCase{{"-b", "vm", "-n", "arc"}, true, Backup, "",
                  [](const KvModuleOptions& o) { EXPECT_EQ(o.archive_name, "arc"); }},
        ParseCase{{"-r", "rec", "-n", "arc"}, false, OperationNone, ""},
        ParseCase{{"-r", "rec", "-d", "/op", "--client-archive", "arc"}, true, Restore, "",
                  [](const KvModuleOptions& o) { EXPECT_EQ(o.archive_name, "arc"); }},
        ParseCase{{"-2", "-b", "vm", "-a"}, false, OperationNone, ""},
        ParseCase{{"-r", "rec", "-a"}, false, OperationNone, ""},
        ParseCase{{"-2", "-b", "vm", "-s", "ref.snap"}, true, Backup, "",
                  [](const KvModuleOptions& o) { EXPECT_EQ(o.reference_snapshot, "ref.snap"); }},
        ParseCase{{"-b", "vm", "-s", "ref.snap"}, false, OperationNone,
                  "Reference snapshot cannot be defined for full backup."},
        ParseCase{{"-2", "-A", "vm", "-s", "ref.snap"}, false, OperationNone, ""},
        ParseCase{{"-b", "vm", "-m", "srv"}, true, Backup, "",
                  [](const KvModuleOptions& o) { EXPECT_EQ(o.media_server, "srv"); }},
        ParseCase{{"-b", "vm", "--autonomous", "-m", ""}, false, OperationNone,
                  "Can't use a media server with autonomous mode"},
        ParseCase{{"-l", "-m", "srv"}, false, OperationNone, ""},
        ParseCase{{"-r", "rec", "-d", "/op", "-m", "srv", "-T", "x"}, true, Restore, ""},
        ParseCase{{"-T", "x", "-l"}, false, OperationNone, "Operation 3 incompatible with task ID"},
        ParseCase{{"-T", "x"}, false, OperationNone, "Operation 0 incompatible with task ID"},
        ParseCase{{"-b", "vm", "-T", "x"}, false, OperationNone, "You must define media-server before task ID"},
        ParseCase{{"-b", "vm", "-m", "srv", "-T", "x"}, true, Backup, "",
                  [](const KvModuleOptions& o) { EXPECT_EQ(o.task_id, "x"); }},
        ParseCase{{"-b", "vm", "--autonomous", "-T", "x"}, true, Backup, ""},
        ParseCase{{"--verify_in_client_defined_storage", "-T", "x"}, true, VerifyInClientDefinedStorage, ""},
        ParseCase{{"-r", "rec", "-d", "/op", "-f", "files"}, true, Restore, "",
                  [](const KvModuleOptions& o) { EXPECT_EQ(o.granular_list, "files"); }},
        // The message ends in a newline of its own, which the coloured log line drops.
        ParseCase{{"-b", "vm", "-f", "files"}, false, OperationNone,
                  "The '-r' option must also be specified for granular restore"},
        ParseCase{{"-b", "vm", "--dgst"}, true, Backup, "",
                  [](const KvModuleOptions& o) { EXPECT_TRUE(o.dgst); }},
        ParseCase{{"-r", "rec", "-d", "/op", "--dgst"}, true, Restore, "",
                  [](const KvModuleOptions& o) { EXPECT_FALSE(o.dgst); }},
        ParseCase{{"--need_esign", "-b", "vm"}, true, Backup, "",
                  [](const KvModuleOptions& o) { EXPECT_TRUE(o.need_esign); }},
        ParseCase{{"--need_esign"}, true, OperationNone, "",
                  [](const KvModuleOptions& o) { EXPECT_TRUE(o.need_esign); }}));

// Options without a rule are stored whatever the operation.
INSTANTIATE_TEST_SUITE_P(
    FreeOptions, ParseModuleOptions,
    ::testing::Values(ParseCase{{"-l", "-C", "gost", "-k", "/keys/k", "-i", "old", "-M", "m.meta", "-p", "4", "-g",
                                 "ents", "-G", "512", "--sign_hash", "sha256", "--esign", "{}"},
                                true,
                                ListAllResources,
                                "",
                                [](const KvModuleOptions& o) {
                                  EXPECT_EQ(o.crypto, "gost");
                                  EXPECT_EQ(o.key_file, "/keys/k");
                                  EXPECT_EQ(o.archive_to_patch, "old");
                                  EXPECT_EQ(o.meta_file, "m.meta");
                                  EXPECT_EQ(o.parallelism, 4u);
                                  EXPECT_EQ(o.granular_entities, "ents");
                                  EXPECT_EQ(o.memory_threshold, 512u);
                                  EXPECT_EQ(o.sign_hash, "sha256");
                                  EXPECT_EQ(o.esign, "{}");
                                }}));

struct BadCommandLine {
  std::vector<std::string> args;
  std::string error = "";  // the line after the signature; empty: the library's text, not checked
};

class RejectedByTheOptionsLibrary : public ModuleTest, public ::testing::WithParamInterface<BadCommandLine> {};

TEST_P(RejectedByTheOptionsLibrary, LogsTheLibrarysText) {
  FakeModule module;
  Args args(GetParam().args);
  EXPECT_FALSE(module.parse_module_options(args.argc(), args.argv(), module.options_));
  ASSERT_EQ(errors().size(), 1u);
  EXPECT_EQ(errors()[0].rfind(k_parse_signature + ": ", 0), 0u) << errors()[0];
  if (!GetParam().error.empty()) {
    EXPECT_EQ(errors()[0], k_parse_signature + ": " + GetParam().error);
  }
}

INSTANTIATE_TEST_SUITE_P(All, RejectedByTheOptionsLibrary,
                         ::testing::Values(BadCommandLine{{"--bogus"}},
                                           BadCommandLine{{"-b"}, "the required argument for option '--backup' is missing"},
                                           BadCommandLine{{"--list"}, "option '--list' is ambiguous"},
                                           BadCommandLine{{"-l", "-p", "many"}},
                                           BadCommandLine{{"-b", "a", "-b", "b"}, "option '--backup' cannot be specified more than once"},
                                           BadCommandLine{{"-b", "vm", "-e", "kvd_block_size:abc"}},
                                           BadCommandLine{{"-b", "vm", "-e", "kvd_hash_length:x1"}},
                                           BadCommandLine{{"-l", "-p-5"}, "the argument for option '--parallelism' is invalid"},
                                           BadCommandLine{{"-l", "-G-1"}, "the argument for option '--memory-threshold' is invalid"},
                                           BadCommandLine{{"-l", "-p", "%value%"}, "the argument for option '--parallelism' is invalid"},
                                           BadCommandLine{{"--x%canonical_option%"},
                                                          "unrecognised option '--x%canonical_option%'"}));

TEST_F(ModuleTest, NoArgumentPrintsTheUsageAndFails) {
  FakeModule module;
  Args args{};
  EXPECT_FALSE(module.parse_module_options(args.argc(), args.argv(), module.options_));
  EXPECT_EQ(module.options_.program_path, k_program);
  EXPECT_EQ(out().rfind("This utility is a part of Kelvanor project\n", 0), 0u);
  EXPECT_TRUE(log().empty());
}

TEST_F(ModuleTest, HelpWinsOverEveryOtherOption) {
  FakeModule module;
  Args args({"-l", "-L", "-h", "-b", "vm"});
  EXPECT_TRUE(module.parse_module_options(args.argc(), args.argv(), module.options_));
  EXPECT_EQ(module.options_.operation, OperationNone);
  EXPECT_EQ(out().rfind("This utility is a part of Kelvanor project\n", 0), 0u);
  EXPECT_NE(out().find("\nOptions description:\n"), std::string::npos);
  EXPECT_NE(out().find("  -h [ --help ]"), std::string::npos);
  EXPECT_NE(out().find("--list-all-resource--with-headers"), std::string::npos);
  EXPECT_EQ(out().substr(out().size() - 2), "\n\n");  // the description ends in its own line end
}

TEST_F(ModuleTest, ArchivingWithAFullBackupAnnouncesTheDeletion) {
  FakeModule module;
  Args args({"-1", "-b", "vm", "-a"});
  ASSERT_TRUE(module.parse_module_options(args.argc(), args.argv(), module.options_));
  EXPECT_EQ(module.options_.operation, Backup);
  EXPECT_TRUE(module.options_.archiving);
  EXPECT_EQ(out(), "Archiving mode: the module '" + k_program + "' will delete the resource after the task is completed\n");
}

TEST_F(ModuleTest, ParameterStringIsParsedOnlyAfterASuccessfulParse) {
  FakeModule module;
  Args refused({"-b", "vm", "-e", "key:value", "-T", "task"});
  EXPECT_FALSE(module.parse_module_options(refused.argc(), refused.argv(), module.options_));
  EXPECT_TRUE(module.special_params.empty());
  EXPECT_TRUE(module.calls.empty());
}

// --- The -e parameter string. ---

class ParameterString : public ModuleTest {
 protected:
  bool parse(FakeModule& module, const std::string& text) {
    Args args({"-b", "vm", "-e", text});
    return module.parse_module_options(args.argc(), args.argv(), module.options_);
  }
};

TEST_F(ParameterString, FrameworkSettings) {
  FakeModule module;
  ASSERT_TRUE(parse(module,
                    "kvd_hash_algorithm:gost,kvd_hash_length:512,kvd_block_size:4096,file_list:t,numeric_owner:true,"
                    "last:true,tmp_catalog:/tmp/c,without_deployment_restore:yes,use_snapshot:true,"
                    "ignore_errors_snapshot:f,snapshot_type:dattobd,snapshot_size:25"));
  EXPECT_EQ(module.kvd_hash_algorithm, "gost");
  EXPECT_EQ(module.kvd_hash_length, 512);
  EXPECT_EQ(module.kvd_block_size, 4096);
  EXPECT_TRUE(module.file_list);
  EXPECT_TRUE(module.numeric_owner);
  EXPECT_TRUE(module.last);
  EXPECT_EQ(module.tmp_catalog, "/tmp/c");
  EXPECT_TRUE(module.without_deployment_restore);
  EXPECT_TRUE(module.use_snapshot);
  EXPECT_FALSE(module.ignore_errors_snapshot);
  EXPECT_EQ(module.snapshot_type, "dattobd");
  EXPECT_EQ(module.snapshot_size, 25);
  EXPECT_TRUE(module.special_params.empty());
  EXPECT_TRUE(log().empty());
}

struct FlagCase {
  std::string text;
  std::function<bool(const FakeModule&)> holds;
};

class ParameterValues : public ParameterString, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(ParameterValues, OnlyTheRecognisedWordsCount) {
  FakeModule module;
  module.ignore_errors_snapshot = true;
  ASSERT_TRUE(parse(module, GetParam().text));
  EXPECT_TRUE(GetParam().holds(module)) << GetParam().text;
  EXPECT_TRUE(module.special_params.empty());
}

INSTANTIATE_TEST_SUITE_P(
    All, ParameterValues,
    ::testing::Values(FlagCase{"file_list:true", [](const FakeModule& m) { return m.file_list; }},
                      FlagCase{"file_list:yes", [](const FakeModule& m) { return !m.file_list; }},
                      FlagCase{"file_list:t,file_list:false", [](const FakeModule& m) { return !m.file_list; }},
                      FlagCase{"numeric_owner:t", [](const FakeModule& m) { return m.numeric_owner; }},
                      FlagCase{"numeric_owner:TRUE", [](const FakeModule& m) { return !m.numeric_owner; }},
                      FlagCase{"last:t", [](const FakeModule& m) { return !m.last; }},
                      FlagCase{"last:true,last:false", [](const FakeModule& m) { return !m.last; }},
                      FlagCase{"without_deployment_restore:true",
                               [](const FakeModule& m) { return !m.without_deployment_restore; }},
                      FlagCase{"without_deployment_restore:yes,without_deployment_restore:no",
                               [](const FakeModule& m) { return m.without_deployment_restore; }},
                      FlagCase{"use_snapshot:t,use_snapshot:false", [](const FakeModule& m) { return m.use_snapshot; }},
                      FlagCase{"use_snapshot:yes", [](const FakeModule& m) { return !m.use_snapshot; }},
                      FlagCase{"ignore_errors_snapshot:false",
                               [](const FakeModule& m) { return !m.ignore_errors_snapshot; }},
                      FlagCase{"ignore_errors_snapshot:no", [](const FakeModule& m) { return m.ignore_errors_snapshot; }},
                      FlagCase{"snapshot_type:lvm", [](const FakeModule& m) { return m.snapshot_type == "lvm"; }},
                      FlagCase{"lvm_snapshot_size:20",
                               [](const FakeModule& m) {
                                 return m.snapshot_size == 20 && m.use_snapshot && m.snapshot_type == "lvm";
                               }},
                      FlagCase{"lvm_snapshot_size:0",
                               [](const FakeModule& m) {
                                 return m.snapshot_size == 10 && m.use_snapshot && m.snapshot_type == "lvm";
                               }}));

TEST_F(ParameterString, DataMoverParametersLastValueWins) {
  FakeModule module;
  ASSERT_TRUE(parse(module, "worker_parallelism:2,enable_flexible_dedup:yes,worker_parallelism:4"));
  const std::map<std::string, std::string> expected{{"enable_flexible_dedup", "yes"}, {"worker_parallelism", "4"}};
  EXPECT_EQ(module.kvfd_flags, expected);
  EXPECT_TRUE(module.special_params.empty());
}

TEST_F(ParameterString, FreeKeysFirstValueWins) {
  FakeModule module;
  ASSERT_TRUE(parse(module, "dd_block_size:8,backup_if_shutdown:n,dd_block_size:16,Last:true"));
  const std::map<std::string, std::string> expected{
      {"Last", "true"}, {"backup_if_shutdown", "n"}, {"dd_block_size", "8"}};
  EXPECT_EQ(module.special_params, expected);
  EXPECT_FALSE(module.last);  // keys are compared case included
  // The module reads its own keys once, after every piece is in.
  EXPECT_EQ(std::count(module.calls.begin(), module.calls.end(), "load_custom_module_parameters"), 1);
  EXPECT_EQ(module.params_seen_by_custom_hook, expected);
}

struct SeparatorCase {
  std::string text;
  std::vector<std::string> warned_pieces;
  std::map<std::string, std::string> special_params;
};

class ParameterSeparators : public ParameterString, public ::testing::WithParamInterface<SeparatorCase> {};

TEST_P(ParameterSeparators, PiecesWithoutAValueAreSkippedWithAWarning) {
  FakeModule module;
  ASSERT_TRUE(parse(module, GetParam().text));
  std::vector<std::string> expected;
  for (const auto& piece : GetParam().warned_pieces)
    expected.push_back(k_param_signature + ": Separator ':' is not found in string: " + piece);
  EXPECT_EQ(warnings(), expected);
  EXPECT_EQ(module.special_params, GetParam().special_params);
}

INSTANTIATE_TEST_SUITE_P(
    All, ParameterSeparators,
    ::testing::Values(SeparatorCase{"novalue", {"novalue"}, {}},
                      SeparatorCase{"ends:", {"ends:"}, {}},
                      SeparatorCase{"a:b:c", {}, {{"a", "b:c"}}},
                      SeparatorCase{",,x:1,,", {}, {{"x", "1"}}},
                      SeparatorCase{":v", {}, {{"", "v"}}},
                      SeparatorCase{"k1,k2:v2,k3:", {"k1", "k3:"}, {{"k2", "v2"}}}));

TEST_F(ParameterString, WrongSnapshotSettingsWarnAndKeepTheDefaults) {
  FakeModule module;
  ASSERT_TRUE(parse(module, "snapshot_type:zfs,snapshot_size:0"));
  EXPECT_EQ(module.snapshot_type, "");
  EXPECT_EQ(module.snapshot_size, 10);
  EXPECT_EQ(warnings(), (std::vector<std::string>{"Wrong value of snapshot_type, ignore...",
                                                  "Wrong OS snaphot size: 0, set to default value: 10%"}));
}

TEST_F(ParameterString, SnapshotSizeThatIsNotANumberIsSkipped) {
  FakeModule module;
  ASSERT_TRUE(parse(module, "snapshot_size:big,lvm_snapshot_size:huge,next:1"));
  EXPECT_EQ(module.snapshot_size, 10);
  EXPECT_FALSE(module.use_snapshot);
  EXPECT_EQ(module.snapshot_type, "");
  EXPECT_EQ(errors(), (std::vector<std::string>{k_param_signature + ": can't convert big to int",
                                                k_param_signature + ": can't convert huge to int"}));
  EXPECT_EQ(module.special_params.at("next"), "1");
}

TEST_F(ParameterString, ScriptsMustBeRegularFilesButAreAlwaysPassedOn) {
  const std::string script = dir() + "/before.sh";
  std::ofstream(script) << "#!/bin/sh\n";
  FakeModule module;
  ASSERT_TRUE(parse(module, "script_before_snapshot:" + script + ",script_after_snapshot:" + dir() +
                                "/missing.sh,script_error_snapshot:" + dir()));
  EXPECT_EQ(module.script_before_snapshot(), script);
  EXPECT_EQ(module.script_after_snapshot(), "");
  EXPECT_EQ(module.script_error_snapshot(), "");  // a directory is not a script
  EXPECT_EQ(module.special_params.size(), 3u);
  EXPECT_EQ(module.special_params.at("script_after_snapshot"), dir() + "/missing.sh");
}

TEST_F(ParameterString, BadFrameworkNumberFailsTheWholeParse) {
  FakeModule module;
  EXPECT_FALSE(parse(module, "first:1,kvd_block_size:abc"));
  EXPECT_EQ(module.kvd_block_size, 16384);
  EXPECT_TRUE(std::find(module.calls.begin(), module.calls.end(), "load_custom_module_parameters") ==
              module.calls.end());
}

// --- Special parameters as the concrete module reads them. ---

TEST_F(ModuleTest, FindSpecialParamAnswersOnlyForNonEmptyValues) {
  FakeModule module;
  module.special_params = {{"given", "v"}, {"empty", ""}};
  std::string value = "unchanged";

  EXPECT_FALSE(module.find_special_param("absent", value));
  EXPECT_EQ(value, "unchanged");
  EXPECT_TRUE(module.find_special_param("given", value));
  EXPECT_EQ(value, "v");
  EXPECT_FALSE(module.find_special_param("empty", value));
  EXPECT_EQ(value, "");

  EXPECT_TRUE(module.has_special_param_passed_from_client("empty"));
  EXPECT_TRUE(module.has_special_param_passed_from_client("given"));
  EXPECT_FALSE(module.has_special_param_passed_from_client("absent"));
}

}  // namespace
