// The module parameters of a backup, as the backup client passes them in the -e string.
#include "tests/veil_vm/veil_vm_test_support.h"

#include <gtest/gtest.h>

#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace veil_vm_test {
namespace {

struct ParamCase {
  std::string name;
  std::string module_params;           // the -e string
  std::vector<std::string> changes{};  // "field=value" that differ from the defaults
  std::string out_of_range{};          // the value the range message names; empty: no message
};

// Failure messages name the case, not its bytes.
void PrintTo(const ParamCase& c, std::ostream* out) { *out << c.name; }

std::vector<std::string> range_messages(const std::string& value) {
  if (value.empty()) return {};
  return {"Selected value '" + value + "' for parameter 'execution_script_timeout' is out of range [1, 600]",
          "The default value will be used: 5 (seconds)"};
}

class BackupParameters : public module_test::ModuleTest, public ::testing::WithParamInterface<ParamCase> {};

TEST_P(BackupParameters, AreReadWithTheirDefaultsAndLimits) {
  const ParamCase& c = GetParam();
  KvModuleOptions options;
  options.module_params = c.module_params;
  TestableModule module(options);
  module.parce_param_string();

  EXPECT_EQ(fields(module.read_backup_parameters()), fields_changed<veil_vm_module_conf>(c.changes));
  EXPECT_EQ(log_at("Info"), range_messages(c.out_of_range));
  EXPECT_EQ(errors(), std::vector<std::string>{});
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Parameters, BackupParameters, ::testing::Values(
    ParamCase{"NoneGiven", ""},
    ParamCase{"OtherKeysOnly", "kvd_block_size:4096,dd_block_size:8"},
    ParamCase{"Scripts", "script_before_snapshot:/opt/app/freeze.sh,script_after_snapshot:/opt/app/thaw.sh",
              {"script_before_snapshot=/opt/app/freeze.sh", "script_after_snapshot=/opt/app/thaw.sh"}},
    ParamCase{"EveryParameter",
              "script_before_snapshot:/b.sh,execution_script_timeout:120,backup_if_shutdown:n,script_after_snapshot:/a.sh",
              {"script_before_snapshot=/b.sh", "script_after_snapshot=/a.sh", "execution_script_timeout=120",
               "backup_if_shutdown=false"}},
    ParamCase{"TimeoutOne", "execution_script_timeout:1", {"execution_script_timeout=1"}},
    ParamCase{"TimeoutSixHundred", "execution_script_timeout:600", {"execution_script_timeout=600"}},
    ParamCase{"TimeoutZero", "execution_script_timeout:0", {}, "0"},
    ParamCase{"TimeoutSixHundredOne", "execution_script_timeout:601", {}, "601"},
    ParamCase{"TimeoutMinusOne", "execution_script_timeout:-1", {}, "4294967295"},
    ParamCase{"TimeoutDigitsThenLetters", "execution_script_timeout:30s", {"execution_script_timeout=30"}},
    ParamCase{"TimeoutEmpty", "execution_script_timeout:"},
    ParamCase{"ShutdownT", "backup_if_shutdown:t"},
    ParamCase{"ShutdownTrue", "backup_if_shutdown:true"},
    ParamCase{"ShutdownYes", "backup_if_shutdown:yes"},
    ParamCase{"ShutdownY", "backup_if_shutdown:y"},
    ParamCase{"ShutdownCapitals", "backup_if_shutdown:YES", {"backup_if_shutdown=false"}},
    ParamCase{"ShutdownNo", "backup_if_shutdown:no", {"backup_if_shutdown=false"}},
    ParamCase{"ShutdownFalse", "backup_if_shutdown:false", {"backup_if_shutdown=false"}},
    ParamCase{"ShutdownOne", "backup_if_shutdown:1", {"backup_if_shutdown=false"}},
    ParamCase{"ShutdownEmpty", "backup_if_shutdown:"}),
    [](const ::testing::TestParamInfo<ParamCase>& param) { return param.param.name; });
// clang-format on

class BackupParameterErrors : public module_test::ModuleTest {};

TEST_F(BackupParameterErrors, TimeoutWithoutDigitsThrowsForTheDispatcher) {
  KvModuleOptions options;
  options.module_params = "execution_script_timeout:soon";
  TestableModule module(options);
  module.parce_param_string();
  EXPECT_THROW((void)module.read_backup_parameters(), std::invalid_argument);
}

}  // namespace
}  // namespace veil_vm_test
