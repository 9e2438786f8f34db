#include "tests/module/module_test_support.h"

#include <boost/filesystem/exception.hpp>

#include <unistd.h>

#include <fstream>
#include <stdexcept>

using namespace module_test;

namespace {

const std::string k_run_signature = "unsigned int KvModuleUniversal::run()";
const std::string k_config_error = "Unable to load configuration from config file.";

std::string module_pid_line() { return "MODULE PID:" + std::to_string(getpid()) + "\n"; }

// --- init ---

TEST_F(ModuleTest, InitInstallsTheSignalHandlerAndParses) {
  FakeModule module;
  Args args({"-l"});
  ASSERT_TRUE(module.init(args.argc(), args.argv()));
  EXPECT_NE(module.signal_handler, nullptr);
  EXPECT_EQ(KvModuleSignalHandler::module_ptr_, &module);
  EXPECT_EQ(module.options_.operation, ListAllResources);
}

TEST_F(ModuleTest, InitFailsOnAWrongCombination) {
  FakeModule module;
  Args args({"-T", "x", "-l"});
  EXPECT_FALSE(module.init(args.argc(), args.argv()));
  EXPECT_EQ(errors(), std::vector<std::string>{"Operation 3 incompatible with task ID"});
}

TEST_F(ModuleTest, InitSkipsTheStoragesForAnESignQuestion) {
  FakeModule module;
  Args args({"--need_esign", "-b", "vm"});
  EXPECT_TRUE(module.init(args.argc(), args.argv()));
  EXPECT_TRUE(log().empty());
}

// --- Start of run ---

struct EsignCase {
  KvModuleOperations operation;
  uint32_t status;
};

class EsignQuestion : public ModuleTest, public ::testing::WithParamInterface<EsignCase> {};

TEST_P(EsignQuestion, OnlyVerificationNeedsASignature) {
  FakeModule module;
  module.options_.need_esign = true;
  module.options_.operation = GetParam().operation;
  EXPECT_EQ(module.run(), GetParam().status);
  EXPECT_EQ(out(), "");  // not even the module's pid
  EXPECT_TRUE(module.calls.empty());
}

INSTANTIATE_TEST_SUITE_P(All, EsignQuestion,
                         ::testing::Values(EsignCase{VerifyInClientDefinedStorage, 0}, EsignCase{Backup, 14},
                                           EsignCase{OperationNone, 14}, EsignCase{DeleteFromClientDefinedStorage, 14},
                                           EsignCase{Restore, 14}));

TEST_F(ModuleTest, NoOperationGivesOne) {
  for (uint32_t value : {0u, 21u, 1000u}) {
    FakeModule module;
    module.options_.operation = static_cast<KvModuleOperations>(value);
    EXPECT_EQ(module.run(), 1u) << value;
  }
  EXPECT_EQ(out(), "");
}

TEST_F(ModuleTest, ModulePidIsPrintedFirstForDataOperations) {
  for (uint32_t value = 0; value <= 20; ++value) {
    FakeModule module;
    module.results.load_config = false;
    module.options_.operation = static_cast<KvModuleOperations>(value);
    module.options_.record_id = "rec";
    module.options_.resource = "vm";
    const std::string before = out();
    (void)module.run();
    const std::string printed = out().substr(before.size());
    const bool data_operation = value >= Backup && value <= ApplyReplica;
    EXPECT_EQ(printed.rfind(module_pid_line(), 0) == 0, data_operation) << value << ": " << printed;
  }
}

// --- Operations without a resource ---

struct AnswerCase {
  KvModuleOperations operation;
  uint32_t backup_type;
  std::function<void(KvModuleOptions&)> capabilities;
  uint32_t status;
  std::string error;  // empty: none
};

std::ostream& operator<<(std::ostream& out, const AnswerCase& c) {
  return out << "operation " << static_cast<uint32_t>(c.operation) << " type " << c.backup_type;
}

class CapabilityAnswer : public ModuleTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(CapabilityAnswer, StatusFollowsTheCapabilities) {
  const AnswerCase& c = GetParam();
  KvModuleOptions options;
  options.program_path = k_program;
  options.operation = c.operation;
  options.backup_type = c.backup_type;
  if (c.capabilities) c.capabilities(options);
  FakeModule module(options);

  EXPECT_EQ(module.run(), c.status);
  EXPECT_EQ(errors(), c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.error});
  EXPECT_EQ(out(), "");
}

auto with(bool KvModuleOptions::*capability) {
  return [capability](KvModuleOptions& o) { o.*capability = true; };
}
auto all_capabilities() {
  return [](KvModuleOptions& o) {
    o.incremental_supported = o.differential_supported = o.dedup_supported = true;
    o.archiving_supported = o.autonomous_supported = true;
  };
}

INSTANTIATE_TEST_SUITE_P(
    All, CapabilityAnswer,
    ::testing::Values(
        AnswerCase{IsBackupTypeSupported, 1, nullptr, 0, ""},
        AnswerCase{IsBackupTypeSupported, 2, with(&KvModuleOptions::incremental_supported), 0, ""},
        AnswerCase{IsBackupTypeSupported, 2, with(&KvModuleOptions::differential_supported), 3,
                   ": incremental backup is not supported by module " + k_program},
        AnswerCase{IsBackupTypeSupported, 3, with(&KvModuleOptions::differential_supported), 0, ""},
        AnswerCase{IsBackupTypeSupported, 3, with(&KvModuleOptions::incremental_supported), 3,
                   ": differential backup is not supported by module " + k_program},
        AnswerCase{IsBackupTypeSupported, 4, all_capabilities(), 3, ": unknown backup type!"},
        AnswerCase{IsDedupSupported, 1, with(&KvModuleOptions::dedup_supported), 0, ""},
        AnswerCase{IsDedupSupported, 1, all_capabilities(), 0, ""},
        AnswerCase{IsDedupSupported, 1, nullptr, 15, ""},
        AnswerCase{IsArchivingSupported, 1, with(&KvModuleOptions::archiving_supported), 0, ""},
        AnswerCase{IsArchivingSupported, 1, with(&KvModuleOptions::dedup_supported), 16, ""},
        AnswerCase{IsAutonomousSupported, 1, with(&KvModuleOptions::autonomous_supported), 0, ""},
        AnswerCase{IsAutonomousSupported, 1, nullptr, 14, ""},
        AnswerCase{ListRestoreParameters, 1, nullptr, 0, ""}));

struct ConfiguredCase {
  KvModuleOperations operation;
  std::string hook;
  uint32_t status;  // what the fake's hook answers
};

class OperationNeedingTheConfiguration : public ModuleTest, public ::testing::WithParamInterface<ConfiguredCase> {};

TEST_P(OperationNeedingTheConfiguration, FailsWithTwoWithoutIt) {
  FakeModule module;
  module.options_.operation = GetParam().operation;
  module.results.load_config = false;
  EXPECT_EQ(module.run(), 2u);
  EXPECT_EQ(errors(), std::vector<std::string>{k_config_error});
  EXPECT_EQ(module.calls, std::vector<std::string>{"load_module_config"});
}

TEST_P(OperationNeedingTheConfiguration, ReturnsWhatTheHookReturns) {
  FakeModule module;
  module.options_.operation = GetParam().operation;
  module.results.check_client = 41;
  module.results.list_all_resources = 42;
  module.results.list_all_resources_with_header_labels = 43;
  module.results.list_header_labels = 44;
  EXPECT_EQ(module.run(), GetParam().status);
  EXPECT_EQ(module.calls, (std::vector<std::string>{"load_module_config", GetParam().hook}));
}

INSTANTIATE_TEST_SUITE_P(All, OperationNeedingTheConfiguration,
                         ::testing::Values(ConfiguredCase{CheckClient, "check_client(true)", 41},
                                           ConfiguredCase{ListAllResources, "list_all_resources", 42},
                                           ConfiguredCase{ListAllResourcesWithHeaders,
                                                          "list_all_resources_with_header_labels", 43},
                                           ConfiguredCase{ListHeaderLabels, "list_header_labels", 44}));

TEST_F(ModuleTest, ShowVersionPrintsTheFrameworkVersion) {
  FakeModule module;
  module.options_.operation = ShowVersion;
  EXPECT_EQ(module.run(), 0u);
  EXPECT_EQ(out(), "2.1.0\n");
}

TEST_F(ModuleTest, ShowBackupOptionsAsksTheModule) {
  FakeModule module;
  module.options_.operation = ShowBackupOptions;
  EXPECT_EQ(module.run(), 0u);
  EXPECT_EQ(module.calls, std::vector<std::string>{"autonomous_options"});
}

TEST_F(ModuleTest, ShowModulePropertiesEndsWithoutALineEnd) {
  FakeModule module;
  module.options_.operation = ShowModuleProperties;
  module.options_.restriction_list_path = "/r.list";
  EXPECT_EQ(module.run(), 0u);
  EXPECT_EQ(out().rfind("Module properties:\n\n", 0), 0u);
  EXPECT_EQ(out().substr(out().size() - 9), ": /r.list");
}

TEST_F(ModuleTest, UpgradeWithoutThreeFilesFailsWithOne) {
  FakeModule module;
  module.options_.operation = UpgradeConfig;
  module.options_.configs_list = "only-one-path";
  EXPECT_EQ(module.run(), 1u);
  EXPECT_TRUE(module.calls.empty());  // the configuration is not loaded first
}

// --- Backup, backup list, create replica ---

class BackupRun : public ModuleTest {
 protected:
  std::unique_ptr<FakeModule> make(KvModuleOperations operation = Backup) {
    KvModuleOptions options;
    options.program_path = k_program;
    options.operation = operation;
    options.resource = "vm";
    options.tmp_operation_directory = dir() + "/op";
    options.archive_name = "arc";
    return std::make_unique<FakeModule>(options);
  }
};

TEST_F(BackupRun, MissingSettingsStopBeforeTheResourceIsTouched) {
  struct Case {
    std::function<void(FakeModule&)> change;
    uint32_t status;
    std::string error;
  };
  const Case cases[] = {
      {[](FakeModule& m) { m.results.load_config = false; }, 2, k_config_error},
      {[](FakeModule& m) { m.options_.tmp_operation_directory.clear(); }, 4,
       "Backup module: you must define tmp_operation_directory directory."},
      {[](FakeModule& m) { m.options_.archive_name.clear(); }, 5, "Backup module: you must define archive name."},
  };
  for (const auto& c : cases) {
    for (KvModuleOperations operation : {Backup, BackupList, CreateReplica}) {
      auto module_owner = make(operation);
    FakeModule& module = *module_owner;
      c.change(module);
      const size_t errors_before = errors().size();
      EXPECT_EQ(module.run(), c.status) << c.error;
      EXPECT_EQ(errors().size(), errors_before + 1);
      EXPECT_EQ(errors().back(), c.error);
      EXPECT_EQ(module.calls.size(), 1u);  // only the configuration
    }
  }
  EXPECT_FALSE(boost::filesystem::exists(dir() + "/op"));
}

TEST_F(BackupRun, MissingResourceGivesTwoAfterTheWorkingDirectoriesExist) {
  auto module_owner = make();
    FakeModule& module = *module_owner;
  module.results.resource_exists = false;
  EXPECT_EQ(module.run(), 2u);
  EXPECT_EQ(errors(),
            std::vector<std::string>{"Backup module: Unable to backup this resource \"vm\". Resource doesn't exist."});
  EXPECT_TRUE(boost::filesystem::is_directory(dir() + "/op/arc.snap_dir/leveldb"));
  EXPECT_EQ(out(), module_pid_line());
}

TEST_F(BackupRun, ExistingWorkingDirectoriesAreKept) {
  boost::filesystem::create_directories(dir() + "/op/arc.snap_dir/leveldb");
  std::ofstream(dir() + "/op/arc.snap_dir/leveldb/keep") << "x";
  auto module_owner = make();
    FakeModule& module = *module_owner;
  module.results.resource_exists = false;
  EXPECT_EQ(module.run(), 2u);
  EXPECT_TRUE(boost::filesystem::exists(dir() + "/op/arc.snap_dir/leveldb/keep"));
}

TEST_F(BackupRun, ResourceOnTheRestrictionListGivesEleven) {
  const std::string list = dir() + "/restrictions";
  std::ofstream(list) << "other\nvm\n";
  struct Case {
    KvModuleOperations operation;
    std::string error;
  };
  for (const Case& c : {Case{Backup, "Backup module: Unable to backup this resource \"vm\". Local restriction."},
                        Case{CreateReplica,
                             "Backup module: Unable to backup this resource \"vm\" due to the local restriction."}}) {
    auto module_owner = make(c.operation);
    FakeModule& module = *module_owner;
    module.options_.local_restrictions = true;
    module.options_.restriction_list_path = list;
    const size_t errors_before = errors().size();
    EXPECT_EQ(module.run(), 11u);
    ASSERT_EQ(errors().size(), errors_before + 1);
    EXPECT_EQ(errors().back(), c.error);
    EXPECT_EQ(module.calls, std::vector<std::string>{"load_module_config"});
  }
}

TEST_F(BackupRun, ReferenceSnapshotThatDoesNotUnpackGivesTwo) {
  auto module_owner = make();
    FakeModule& module = *module_owner;
  module.options_.backup_type = 2;
  module.options_.reference_snapshot = dir() + "/ref.tar";
  EXPECT_EQ(module.run(), 2u);
  EXPECT_EQ(errors().back(), "Backup module: Unable to unpack reference snapshot file: \"" + dir() + "/ref.tar\".");
  EXPECT_EQ(module.calls, (std::vector<std::string>{"load_module_config", "resource_exists"}));
}

TEST_F(BackupRun, FailedPreparationIsNotReleased) {
  auto module_owner = make(CreateReplica);
    FakeModule& module = *module_owner;
  module.results.prepare = false;
  EXPECT_EQ(module.run(), 6u);
  EXPECT_EQ(module.calls, (std::vector<std::string>{"load_module_config", "resource_exists", "prepare(replica)"}));
}

TEST_F(BackupRun, ResourceIsReleasedWhenTheDataMoverFails) {
  for (bool released : {true, false}) {
    auto module_owner = make();
    FakeModule& module = *module_owner;
    module.results.release = released;
    // A list file that is not there fails the backup before any data mover is started.
    module.options_.resource_list_file = dir() + "/missing.list";
    EXPECT_EQ(module.run(), 6u);
    EXPECT_EQ(module.calls, (std::vector<std::string>{"load_module_config", "resource_exists", "prepare", "release"}));
    EXPECT_EQ(errors().back(), "bool KvModuleUniversal::make_backup_cmd_common(std::string&): resource list file "
                               "doesn't exist: " + dir() + "/missing.list");
  }
}

TEST_F(BackupRun, UnlockedModuleTakesNoLock) {
  auto module_owner = make();
    FakeModule& module = *module_owner;
  module.options_.one_resource_at_a_time = false;
  module.results.resource_exists = false;
  EXPECT_EQ(module.run(), 2u);
  EXPECT_EQ(errors().size(), 1u);  // only the missing resource
}

// --- Restore and apply replica ---

class RestoreRun : public ModuleTest {
 protected:
  std::unique_ptr<FakeModule> make(KvModuleOperations operation = Restore) {
    KvModuleOptions options;
    options.operation = operation;
    options.record_id = "rec";
    options.tmp_operation_directory = dir();
    auto module = std::make_unique<FakeModule>(options);
    module->results.define_restore_directory = 0;
    module->results.apply_replica = true;
    return module;
  }
};

TEST_F(RestoreRun, ConfigurationAndDirectoryComeFirst) {
  auto no_config_owner = make();
    FakeModule& no_config = *no_config_owner;
  no_config.results.load_config = false;
  EXPECT_EQ(no_config.run(), 2u);
  EXPECT_EQ(errors(), std::vector<std::string>{k_config_error});

  auto no_directory_owner = make();
    FakeModule& no_directory = *no_directory_owner;
  no_directory.results.define_restore_directory = 1;
  EXPECT_EQ(no_directory.run(), 7u);
  EXPECT_EQ(errors().size(), 1u);  // no message of its own
  EXPECT_EQ(no_directory.calls, (std::vector<std::string>{"load_module_config", "define_restore_directory"}));
}

TEST_F(RestoreRun, MetaFileThatDoesNotUnpackGivesTwo) {
  auto module_owner = make();
    FakeModule& module = *module_owner;
  module.options_.meta_file = "x.tar";
  EXPECT_EQ(module.run(), 2u);
  EXPECT_EQ(errors(), (std::vector<std::string>{"Invalid snapshot file extension: \"x.tar\"",
                                                "Unable to unpack snapshot file: \"x.tar\"."}));
  EXPECT_FALSE(module.last);
}

TEST_F(RestoreRun, FailedStepMarksTheLastRestoreAndCloses) {
  auto before_failed_owner = make();
    FakeModule& before_failed = *before_failed_owner;
  before_failed.results.before_restore = false;
  EXPECT_EQ(before_failed.run(), 7u);
  EXPECT_TRUE(before_failed.last);
  EXPECT_EQ(before_failed.calls,
            (std::vector<std::string>{"load_module_config", "define_restore_directory", "before_restore",
                                      "close_restore"}));

  // The restore fails before any data mover is started (enciphered, but no key file); the
  // module's after-restore step still runs.
  auto restore_failed_owner = make();
    FakeModule& restore_failed = *restore_failed_owner;
  restore_failed.options_.crypto = "kuznyechik";
  EXPECT_EQ(restore_failed.run(), 7u);
  EXPECT_EQ(errors().back(), "bool KvModuleUniversal::make_restore(const bool&): you must define key file");
  EXPECT_TRUE(restore_failed.last);
  EXPECT_EQ(restore_failed.calls,
            (std::vector<std::string>{"load_module_config", "define_restore_directory", "before_restore",
                                      "after_restore", "close_restore"}));
}

TEST_F(RestoreRun, ApplyReplicaWithoutMetaFileFailsToUnpack) {
  auto module_owner = make(ApplyReplica);
    FakeModule& module = *module_owner;
  EXPECT_EQ(module.run(), 2u);
  EXPECT_EQ(errors(), (std::vector<std::string>{"Invalid snapshot file extension: \"\"",
                                                "Unable to unpack snapshot file: \"\"."}));
  EXPECT_EQ(module.calls, std::vector<std::string>{"load_module_config"});
}

// --- Client-defined storages ---

TEST_F(ModuleTest, DeletionFromClientDefinedStorage) {
  struct Case {
    bool config;
    std::string json;
    uint32_t status;
    std::string error;
  };
  for (const Case& c : {Case{false, "{}", 2, k_config_error}, Case{true, "", 14, "Empty json content"},
                        Case{true, "not json", 12, k_run_signature + ": can't parse json"}}) {
    FakeModule module;
    module.options_.operation = DeleteFromClientDefinedStorage;
    module.options_.client_defined_storage_json = c.json;
    module.results.load_config = c.config;
    const size_t errors_before = errors().size();
    EXPECT_EQ(module.run(), c.status) << c.json;
    ASSERT_GT(errors().size(), errors_before);  // the JSON parser logs its own line too
    EXPECT_EQ(errors().back(), c.error);
  }
}

TEST_F(ModuleTest, VerificationInClientDefinedStorage) {
  for (bool verified : {true, false}) {
    FakeModule module;
    module.options_.operation = VerifyInClientDefinedStorage;
    module.results.verify_in_client_defined_storage = verified;
    EXPECT_EQ(module.run(), verified ? 0u : 12u);
    EXPECT_EQ(module.calls, (std::vector<std::string>{"load_module_config", "verify_in_client_defined_storage"}));
  }
  FakeModule with_meta;
  with_meta.options_.operation = VerifyInClientDefinedStorage;
  with_meta.options_.meta_file = "m.tar";
  with_meta.results.verify_in_client_defined_storage = true;
  EXPECT_EQ(with_meta.run(), 2u);
  EXPECT_EQ(errors(), (std::vector<std::string>{"Invalid snapshot file extension: \"m.tar\"",
                                                "Unable to unpack snapshot file: \"m.tar\"."}));
}

// --- Exceptions ---

TEST_F(ModuleTest, StandardExceptionsEndTheOperationWithThirteen) {
  struct Case {
    std::function<void()> thrower;
    std::string error;
  };
  const boost::filesystem::filesystem_error fs_error(
      "gone", boost::system::errc::make_error_code(boost::system::errc::no_such_file_or_directory));
  const Case cases[] = {
      {[&fs_error] { throw fs_error; }, k_run_signature + ": filesystem error: " + fs_error.what()},
      {[] { throw std::runtime_error("boom"); }, k_run_signature + ": Database error: boom"},
  };
  for (const auto& c : cases) {
    FakeModule module;
    module.options_.operation = ListAllResources;
    module.throw_in = "list_all_resources";
    module.thrower = c.thrower;
    EXPECT_EQ(module.run(), 13u);
    EXPECT_EQ(errors().back(), c.error);
  }
}

TEST_F(ModuleTest, OtherExceptionsLeaveRun) {
  FakeModule module;
  module.options_.operation = CheckClient;
  module.throw_in = "check_client(true)";
  module.thrower = [] { throw 7; };
  EXPECT_THROW((void)module.run(), int);
}

}  // namespace
