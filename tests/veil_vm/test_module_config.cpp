// The module's own settings: the configuration file's lines and the module parameters of the -e
// string, with their defaults and limits.
#include "tests/support/temp_dir.h"
#include "tests/veil_vm/veil_vm_test_support.h"

#include <gtest/gtest.h>

#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace veil_vm_test {
namespace {

constexpr const char* k_sig = "virtual bool KvModuleVeilVM::load_module_config()";

std::string fields(const ::conf& c) {
  return c.url + "|" + c.username + "|" + c.password + "|" + c.module_vm_name + "|" + c.ca_info + "|" +
         std::to_string(c.enable_ssl) + "|" + std::to_string(c.timeout) + "|" + std::to_string(c.curl_verbose);
}

struct ConfigCase {
  std::string name;
  std::string text;                   // the file's content
  std::string fields;                 // the settings read, as fields() shows them
  std::vector<std::string> errors{};  // the Error lines after k_sig; "<path>" is the file
  bool loads = true;
};
void PrintTo(const ConfigCase& c, std::ostream* out) { *out << c.name; }

std::string wrong(int line) { return ": wrong definition in the config file: <path>, line: " + std::to_string(line); }
std::string wrong_value(const std::string& key, int line, const std::string& value) {
  return ": wrong value of " + key + " in the config file: <path>, line: " + std::to_string(line) + ", value: '" +
         value + "'";
}

class ConfigFileRules : public module_test::ModuleTest, public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(ConfigFileRules, ReadsTheSettingsAndReportsTheWrongLines) {
  const ConfigCase& c = GetParam();
  const std::string path = dir() + "/kv_module_veil_vm.conf";
  kv_test::write_file(path, c.text);
  TestableModule module;
  EXPECT_EQ(module.load_module_config_from(path), c.loads);
  EXPECT_EQ(fields(module.conf), c.fields);
  std::vector<std::string> expected;
  for (std::string error : c.errors) expected.push_back(k_sig + error.replace(error.find("<path>"), 6, path));
  EXPECT_EQ(errors(), expected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Lines, ConfigFileRules, ::testing::Values(
    ConfigCase{"EveryKey", "url https://veil:443\nusername kv-api\npassword s3cret\ntimeout 30\n"
               "kelvanor-vm-name kv-proxy\nca_info /ca.pem\ncurl_verbose\nenable_ssl yes\n",
               "https://veil:443|kv-api|s3cret|kv-proxy|/ca.pem|1|30|1"},
    ConfigCase{"UrlLosesOneTrailingSlash", "url http://veil//\n", "http://veil/|||||0|1|0"},
    ConfigCase{"BlanksAndTabsShrinkToOne", "   password\ta\t b   c  \ntimeout 12s\n", "||a b c|||0|12|0"},
    ConfigCase{"CommentsAndBlankLinesAreCounted", "# VeiL\n\n  # x\nURL http://a\nurl \nbogus\nenable_ssl\n",
               "|||||0|1|0", {wrong(4), wrong(5), wrong(6), wrong(7)}},
    ConfigCase{"NegativeTimeoutIsRefused", "timeout 9\n\ntimeout -5\n", "|||||0|9|0",
               {wrong_value("timeout", 3, "-5")}, false},
    ConfigCase{"SslYesThenFalse", "enable_ssl yes\nenable_ssl false\n", "|||||0|1|0"},
    ConfigCase{"SslTrueThenNo", "enable_ssl true\nenable_ssl no\n", "|||||0|1|0"},
    ConfigCase{"SslUnknownValueKeepsItAndIsReported", "enable_ssl true\nenable_ssl ture\n", "|||||1|1|0",
               {wrong_value("enable_ssl", 2, "ture")}},
    ConfigCase{"VerboseGluedToTheKey", "curl_verbosely\n", "|||||0|1|1"}),
    [](const ::testing::TestParamInfo<ConfigCase>& param) { return param.param.name; });
// clang-format on

TEST_F(ConfigFileRules, ADirectoryIsNoConfigurationAndATimeoutWithoutDigitsThrows) {
  TestableModule module;
  EXPECT_FALSE(module.load_module_config_from(dir()));
  EXPECT_EQ(errors(), std::vector<std::string>{std::string(k_sig) + ": unable to open config file: " + dir()});
  kv_test::write_file(dir() + "/c.conf", "timeout soon\n");
  EXPECT_THROW((void)module.load_module_config_from(dir() + "/c.conf"), std::invalid_argument);
}

struct ParamCase {
  std::string module_params;  // the -e string
  std::string fields;         // backup_if_shutdown|before|after|timeout
  std::string out_of_range{};  // the value the range message names; empty: no message
};

class BackupParameters : public module_test::ModuleTest, public ::testing::WithParamInterface<ParamCase> {};

TEST_P(BackupParameters, AreReadWithTheirDefaultsAndLimits) {
  const ParamCase& c = GetParam();
  KvModuleOptions options;
  options.module_params = c.module_params;
  TestableModule module(options);
  module.parce_param_string();
  const veil_vm_module_conf p = module.read_backup_parameters();
  EXPECT_EQ(std::to_string(p.backup_if_shutdown) + "|" + p.script_before_snapshot + "|" + p.script_after_snapshot +
                "|" + std::to_string(p.execution_script_timeout),
            c.fields);
  std::vector<std::string> range;
  if (!c.out_of_range.empty())
    range = {"Selected value '" + c.out_of_range + "' for parameter 'execution_script_timeout' is out of range " +
                 "[1, 600]",
             "The default value will be used: 5 (seconds)"};
  EXPECT_EQ(log_at("Info"), range);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Parameters, BackupParameters, ::testing::Values(
    ParamCase{"dd_block_size:8", "1|||5"},
    ParamCase{"script_before_snapshot:/b.sh,execution_script_timeout:600,backup_if_shutdown:n,"
              "script_after_snapshot:/a.sh", "0|/b.sh|/a.sh|600"},
    ParamCase{"execution_script_timeout:1", "1|||1"},
    ParamCase{"execution_script_timeout:30s", "1|||30"},
    ParamCase{"execution_script_timeout:0", "1|||5", "0"},
    ParamCase{"execution_script_timeout:601", "1|||5", "601"},
    ParamCase{"execution_script_timeout:-1", "1|||5", "4294967295"},
    ParamCase{"backup_if_shutdown:t", "1|||5"},
    ParamCase{"backup_if_shutdown:true", "1|||5"},
    ParamCase{"backup_if_shutdown:yes", "1|||5"},
    ParamCase{"backup_if_shutdown:y", "1|||5"},
    ParamCase{"backup_if_shutdown:YES", "0|||5"},
    ParamCase{"backup_if_shutdown:", "1|||5"}));
// clang-format on

TEST_F(BackupParameters, ATimeoutWithoutDigitsThrowsAndTheBlockSizeKeepsToOneToAHundred) {
  KvModuleOptions options;
  options.module_params = "execution_script_timeout:soon";
  TestableModule module(options);
  module.parce_param_string();
  EXPECT_THROW((void)module.read_backup_parameters(), std::invalid_argument);

  const std::pair<const char*, uint32_t> sizes[] = {{"1", 1}, {"100", 100}, {"0", 5}, {"101", 5}, {"-1", 5}};
  for (const auto& [value, used] : sizes) {
    module.special_params["dd_block_size"] = value;
    module.read_dd_block_size();
    EXPECT_EQ(module.dd_block_size, used) << value;
  }
  EXPECT_EQ(warnings().size(), 3u);
  module.dd_block_size = 9;
  module.special_params.erase("dd_block_size");
  module.read_dd_block_size();
  EXPECT_EQ(module.dd_block_size, 9u);
}

}  // namespace
}  // namespace veil_vm_test
