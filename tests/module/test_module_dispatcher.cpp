#include "tests/module/module_test_support.h"

#include "tests/support/temp_dir.h"

#include <boost/algorithm/string/replace.hpp>
#include <boost/filesystem/exception.hpp>

#include <unistd.h>

#include <stdexcept>

using namespace module_test;

namespace {

const std::string k_no_config = "Unable to load configuration from config file.";
const std::string k_not_unpacked = "Unable to unpack snapshot file: ";
const std::string k_run = "unsigned int KvModuleUniversal::run(): ";
const boost::filesystem::filesystem_error k_fs_error("gone", boost::system::errc::make_error_code(boost::system::errc::io_error));

// One run of the dispatcher: the exit status the backup client reads, the last Error line
// ("" for none; @DIR@ stands for the test's folder) and, when given, the hooks called in order.
struct StatusCase {
  const char* name;
  KvModuleOperations operation;
  std::function<void(FakeModule&, const std::string& dir)> setup;
  uint32_t status;
  std::string error = "";
  const char* calls = nullptr;
};

class ExitStatus : public ModuleTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(ExitStatus, IsTheOneTheClientExpects) {
  const StatusCase& c = GetParam();
  kv_test::write_file(dir() + "/restrictions", "other\nvm\n/srv/b\n");
  kv_test::write_file(dir() + "/list.json", R"([{"path": "/srv/a"}, {"path": "/srv/b"}])");
  KvModuleOptions options;
  options.program_path = k_program;
  options.operation = c.operation;
  options.resource = "vm";
  options.record_id = "rec";
  options.tmp_operation_directory = dir() + "/op";
  options.archive_name = "arc";
  options.restriction_list_path = dir() + "/restrictions";
  FakeModule module(options);
  module.results.define_restore_directory = 0;
  if (c.setup) c.setup(module, dir());

  EXPECT_EQ(module.run(), c.status);
  EXPECT_EQ(errors().empty() ? "" : errors().back(), boost::replace_all_copy(c.error, "@DIR@", dir()));
  std::string calls;
  for (const auto& call : module.calls) calls += (calls.empty() ? "" : ",") + call;
  if (c.calls != nullptr) {
    EXPECT_EQ(calls, c.calls);
  }
  // A failed replica removes the reference snapshot it unpacked.
  EXPECT_TRUE(module.reference_snapshot_directory.empty() || !boost::filesystem::exists(module.reference_snapshot_directory));
  const bool data_operation = !module.options_.need_esign && c.operation >= Backup && c.operation <= ApplyReplica;
  EXPECT_EQ(out().rfind("MODULE PID:" + std::to_string(getpid()) + "\n", 0) == 0, data_operation) << out();
}

void no_config(FakeModule& m, const std::string&) { m.results.load_config = false; }
void restricted(FakeModule& m, const std::string&) { m.options_.local_restrictions = true; }

INSTANTIATE_TEST_SUITE_P(
    All, ExitStatus,
    ::testing::Values(
        StatusCase{"esign_verification", VerifyInClientDefinedStorage, [](auto& m, auto&) { m.options_.need_esign = true; }, 0, "", ""},
        StatusCase{"esign_backup", Backup, [](auto& m, auto&) { m.options_.need_esign = true; }, 14, "", ""},
        StatusCase{"no_operation", OperationNone, nullptr, 1},
        StatusCase{"operation_above_20", static_cast<KvModuleOperations>(21), nullptr, 1, "", ""},
        StatusCase{"full_question", IsBackupTypeSupported, nullptr, 0},
        StatusCase{"incremental_unsupported", IsBackupTypeSupported,
                   [](auto& m, auto&) { m.options_.backup_type = 2, m.options_.differential_supported = true; }, 3,
                   ": incremental backup is not supported by module " + k_program},
        StatusCase{"differential_unsupported", IsBackupTypeSupported,
                   [](auto& m, auto&) { m.options_.backup_type = 3, m.options_.incremental_supported = true; }, 3,
                   ": differential backup is not supported by module " + k_program},
        StatusCase{"unknown_backup_type", IsBackupTypeSupported, [](auto& m, auto&) { m.options_.backup_type = 4; }, 3,
                   ": unknown backup type!"},
        StatusCase{"dedup_unsupported", IsDedupSupported, [](auto& m, auto&) { m.options_.archiving_supported = true; }, 15},
        StatusCase{"archiving_unsupported", IsArchivingSupported, [](auto& m, auto&) { m.options_.dedup_supported = true; }, 16},
        StatusCase{"autonomous_unsupported", IsAutonomousSupported, nullptr, 14},
        StatusCase{"check_client_hook", CheckClient, [](auto& m, auto&) { m.results.check_client = 41; }, 41, "",
                   "load_module_config,check_client(true)"},
        StatusCase{"listing_without_config", ListHeaderLabels, no_config, 2, k_no_config, "load_module_config"},
        StatusCase{"upgrade_failed", UpgradeConfig, nullptr, 1, "Incorrect configuration file format", ""},
        StatusCase{"restore_parameters", ListRestoreParameters, nullptr, 0, "", ""},
        StatusCase{"backup_without_config", Backup, no_config, 2, k_no_config, "load_module_config"},
        StatusCase{"list_without_directory", BackupList, [](auto& m, auto&) { m.options_.tmp_operation_directory.clear(); },
                   4, "Backup module: you must define tmp_operation_directory directory.", "load_module_config"},
        StatusCase{"replica_without_archive_name", CreateReplica, [](auto& m, auto&) { m.options_.archive_name.clear(); },
                   5, "Backup module: you must define archive name.", "load_module_config"},
        StatusCase{"missing_resource", Backup, [](auto& m, auto&) { m.results.resource_exists = false; }, 2,
                   "Backup module: Unable to backup this resource \"vm\". Resource doesn't exist."},
        StatusCase{"restricted_backup", Backup, restricted, 11,
                   "Backup module: Unable to backup this resource \"vm\". Local restriction.", "load_module_config"},
        StatusCase{"restricted_replica", CreateReplica, restricted, 11,
                   "Backup module: Unable to backup this resource \"vm\" due to the local restriction."},
        StatusCase{"restricted_list", BackupList,
                   [](auto& m, auto& dir) {
                     m.options_.local_restrictions = m.options_.resource_list.parse_json_file(dir + "/list.json");
                   },
                   11,
                   "bool ResourceList::check_local_restrictions(const std::vector<std::__cxx11::basic_string<char> >&) "
                   "const: Unable to backup this resource from ResourceList: /srv/b. Local restriction",
                   "load_module_config"},
        StatusCase{"reference_snapshot_not_unpacked", Backup,
                   [](auto& m, auto& dir) { m.options_.reference_snapshot = dir + "/ref.tar"; }, 2,
                   "Backup module: Unable to unpack reference snapshot file: \"@DIR@/ref.tar\".",
                   "load_module_config,resource_exists"},
        StatusCase{"preparation_failed", CreateReplica, [](auto& m, auto&) { m.results.prepare = false; }, 6, "",
                   "load_module_config,resource_exists,prepare(replica)"},
        // A list file that is not there fails the backup before any data mover is started.
        StatusCase{"data_mover_failed_still_releases", Backup,
                   [](auto& m, auto& dir) { m.options_.resource_list_file = dir + "/none"; }, 6,
                   "bool KvModuleUniversal::make_backup_cmd_common(std::string&): resource list file doesn't exist: "
                   "@DIR@/none",
                   "load_module_config,resource_exists,prepare,release"},
        StatusCase{"restore_directory_failed", Restore, [](auto& m, auto&) { m.results.define_restore_directory = 1; }, 7,
                   "", "load_module_config,define_restore_directory"},
        StatusCase{"meta_file_not_unpacked", Restore, [](auto& m, auto&) { m.options_.meta_file = "x.tar"; }, 2,
                   k_not_unpacked + "\"x.tar\"."},
        StatusCase{"before_restore_failed", Restore, [](auto& m, auto&) { m.results.before_restore = false; }, 7, "",
                   "load_module_config,define_restore_directory,before_restore,close_restore"},
        // Enciphered without a key file: the restore fails before any data mover is started.
        StatusCase{"restore_failed", Restore, [](auto& m, auto&) { m.options_.crypto = "gost"; }, 7,
                   "bool KvModuleUniversal::make_restore(const bool&): you must define key file",
                   "load_module_config,define_restore_directory,before_restore,after_restore,close_restore"},
        StatusCase{"replica_without_meta_file", ApplyReplica,
                   [](auto& m, auto& dir) { boost::filesystem::create_directory(m.reference_snapshot_directory = dir + "/ref"); },
                   2, k_not_unpacked + "\"\".", "load_module_config"},
        StatusCase{"deletion_without_config", DeleteFromClientDefinedStorage, no_config, 2, k_no_config},
        StatusCase{"deletion_without_json", DeleteFromClientDefinedStorage, nullptr, 14, "Empty json content"},
        StatusCase{"deletion_json_not_parsed", DeleteFromClientDefinedStorage,
                   [](auto& m, auto&) { m.options_.client_defined_storage_json = "not json"; }, 12, k_run + "can't parse json"},
        StatusCase{"verified", VerifyInClientDefinedStorage,
                   [](auto& m, auto&) { m.results.verify_in_client_defined_storage = true; }, 0, "",
                   "load_module_config,verify_in_client_defined_storage"},
        StatusCase{"not_verified", VerifyInClientDefinedStorage,
                   [](auto& m, auto&) { m.results.verify_in_client_defined_storage = false; }, 12},
        StatusCase{"verification_meta_not_unpacked", VerifyInClientDefinedStorage,
                   [](auto& m, auto&) { m.options_.meta_file = "m.tar"; }, 2, k_not_unpacked + "\"m.tar\"."},
        StatusCase{"filesystem_error", ListAllResources,
                   [](auto& m, auto&) { m.throw_in = "list_all_resources", m.thrower = [] { throw k_fs_error; }; }, 13,
                   k_run + "filesystem error: " + k_fs_error.what()},
        StatusCase{"other_exception", CheckClient,
                   [](auto& m, auto&) {
                     m.throw_in = "check_client(true)", m.thrower = [] { throw std::runtime_error("boom"); };
                   },
                   13, k_run + "Database error: boom"}),
    [](const ::testing::TestParamInfo<StatusCase>& param) { return std::string(param.param.name); });

// Distinct values next to each other, so that two swapped capabilities show.
TEST_F(ModuleTest, ModulePropertiesShowEachCapability) {
  KvModuleOptions options;
  options.one_resource_at_a_time = options.incremental_supported = options.dedup_supported = true;
  FakeModule module(options);
  module.module_properties();
  std::string values;
  for (size_t at = out().find(": "); at != std::string::npos; at = out().find(": ", at + 1))
    values += out().substr(at + 2, out().find('\n', at) - at - 2) + " ";
  EXPECT_EQ(values, "true false true false true false  ");
}

}  // namespace
