// The module configuration file: every rule of reading its lines into the connection settings.
#include "tests/support/temp_dir.h"
#include "tests/veil_vm/veil_vm_test_support.h"

#include <gtest/gtest.h>

#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace veil_vm_test {
namespace {

constexpr const char* k_sig = "virtual bool KvModuleVeilVM::load_module_config()";

struct ConfigCase {
  std::string name;
  std::string text;                    // the file's content
  std::vector<std::string> changes{};  // "field=value" the file changes from the defaults
  std::vector<int> wrong_lines{};      // lines reported as wrong definitions, in order
  std::vector<std::string> errors{};   // further Error lines, after k_sig; "<path>" is the file
  bool loads = true;                   // what loading the file answers
};

// Failure messages name the case, not its bytes.
void PrintTo(const ConfigCase& c, std::ostream* out) { *out << c.name; }

class ConfigFileRules : public module_test::ModuleTest, public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(ConfigFileRules, ReadsTheSettingsAndReportsTheWrongLines) {
  const ConfigCase& c = GetParam();
  const std::string path = dir() + "/kv_module_veil_vm.conf";
  kv_test::write_file(path, c.text);

  TestableModule module;
  EXPECT_EQ(module.load_module_config_from(path), c.loads);
  EXPECT_EQ(fields(module.conf), fields_changed<::conf>(c.changes));

  std::vector<std::string> expected_errors;
  for (int line : c.wrong_lines)
    expected_errors.push_back(std::string(k_sig) + ": wrong definition in the config file: " + path +
                              ", line: " + std::to_string(line));
  for (std::string error : c.errors) {
    error.replace(error.find("<path>"), 6, path);
    expected_errors.push_back(k_sig + error);
  }
  EXPECT_EQ(errors(), expected_errors);
}

std::string value_error(const std::string& key, int line, const std::string& value) {
  return ": wrong value of " + key + " in the config file: <path>, line: " + std::to_string(line) + ", value: '" +
         value + "'";
}
std::string ssl_error(int line, const std::string& value) { return value_error("enable_ssl", line, value); }

// clang-format off
INSTANTIATE_TEST_SUITE_P(Lines, ConfigFileRules, ::testing::Values(
    ConfigCase{"EveryKey",
               "url https://veil.example:443\nusername kv-api\npassword s3cret\ntimeout 30\n"
               "kelvanor-vm-name kv-proxy\nca_info /etc/ssl/veil.pem\ncurl_verbose\nenable_ssl yes\n",
               {"url=https://veil.example:443", "username=kv-api", "password=s3cret", "timeout=30",
                "module_vm_name=kv-proxy", "ca_info=/etc/ssl/veil.pem", "curl_verbose=true", "enable_ssl=true"}},
    ConfigCase{"EmptyFile", ""},
    ConfigCase{"UrlLosesOneTrailingSlash", "url http://veil/\n", {"url=http://veil"}},
    ConfigCase{"UrlWithTwoSlashesKeepsOne", "url http://veil//\n", {"url=http://veil/"}},
    ConfigCase{"TabBetweenKeyAndValue", "url\thttp://veil\n", {"url=http://veil"}},
    ConfigCase{"KeyInCapitalsIsWrong", "URL http://veil\n", {}, {1}},
    ConfigCase{"KeyWithoutValueIsWrong", "url \nusername\t\n", {}, {1, 2}},
    ConfigCase{"BlanksAroundAndInside", "   timeout     30   \n", {"timeout=30"}},
    ConfigCase{"TimeoutTakesLeadingDigits", "timeout 12s\n", {"timeout=12"}},
    ConfigCase{"TimeoutZeroMeansNoLimit", "timeout 0\n", {"timeout=0"}},
    ConfigCase{"NegativeTimeoutIsRefused", "timeout 9\n\ntimeout -5\n", {"timeout=9"}, {},
               {value_error("timeout", 3, "-5")}, false},
    ConfigCase{"PasswordRunsShrinkToOneBlank", "password a\t b   c  \n", {"password=a b c"}},
    ConfigCase{"ValuesKeepTheirQuotes", "username \"kv api\"\n", {"username=\"kv api\""}},
    ConfigCase{"LaterLineWins", "username first\nusername second\n", {"username=second"}},
    ConfigCase{"WindowsLineEnds", "url http://veil/\r\ntimeout 7\r\n", {"url=http://veil", "timeout=7"}},
    ConfigCase{"LastLineWithoutLineFeed", "kelvanor-vm-name kv-proxy", {"module_vm_name=kv-proxy"}},
    ConfigCase{"CommentsAndBlankLinesCountForLineNumbers",
               "# VeiL controller\n\n   # indented comment\n\t\nurl http://veil\nno_such_key 1\n",
               {"url=http://veil"}, {6}},
    ConfigCase{"WrongLinesDoNotStopTheReading", "bogus\nurl http://veil\nurl=http://other\nca_info /ca.pem\n",
               {"url=http://veil", "ca_info=/ca.pem"}, {1, 3}},
    ConfigCase{"SslYes", "enable_ssl yes\n", {"enable_ssl=true"}},
    ConfigCase{"SslTrue", "enable_ssl true\n", {"enable_ssl=true"}},
    ConfigCase{"SslNoAfterYes", "enable_ssl yes\nenable_ssl no\n", {"enable_ssl=false"}},
    ConfigCase{"SslFalseAfterTrue", "enable_ssl true\nenable_ssl false\n", {"enable_ssl=false"}},
    ConfigCase{"SslUnknownValueKeepsOnAndIsReported", "enable_ssl yes\n# typo below\nenable_ssl ture\n",
               {"enable_ssl=true"}, {}, {ssl_error(3, "ture")}},
    ConfigCase{"SslUnknownValueKeepsOffAndIsReported", "enable_ssl YES\n", {}, {}, {ssl_error(1, "YES")}},
    ConfigCase{"SslValueWithBlanksIsReportedAsRead", "enable_ssl  yes   please\n", {}, {},
               {ssl_error(1, "yes please")}},
    ConfigCase{"SslBareKeyIsWrong", "enable_ssl\n", {}, {1}},
    ConfigCase{"VerboseBareKey", "curl_verbose\n", {"curl_verbose=true"}},
    ConfigCase{"VerboseYes", "curl_verbose yes\n", {"curl_verbose=true"}},
    ConfigCase{"VerboseAnyOtherValue", "curl_verbose 0\n", {"curl_verbose=true"}},
    ConfigCase{"VerboseGluedToTheKey", "curl_verbosely\n", {"curl_verbose=true"}},
    ConfigCase{"VerboseNo", "curl_verbose no\n", {"curl_verbose=false"}},
    ConfigCase{"VerboseFalse", "curl_verbose\tfalse\n", {"curl_verbose=false"}},
    ConfigCase{"VerboseNoAfterOn", "curl_verbose\ncurl_verbose no\n", {"curl_verbose=false"}},
    ConfigCase{"VerboseOnAfterNo", "curl_verbose no\ncurl_verbose\n", {"curl_verbose=true"}}),
    [](const ::testing::TestParamInfo<ConfigCase>& param) { return param.param.name; });
// clang-format on

class ConfigFile : public module_test::ModuleTest {};

TEST_F(ConfigFile, MissingFileFailsAndKeepsTheDefaults) {
  const std::string path = dir() + "/absent.conf";
  TestableModule module;
  EXPECT_FALSE(module.load_module_config_from(path));
  EXPECT_EQ(fields(module.conf), fields(::conf{}));
  EXPECT_EQ(errors(), std::vector<std::string>{std::string(k_sig) + ": unable to open config file: " + path});
}

TEST_F(ConfigFile, DirectoryIsNoConfiguration) {
  TestableModule module;
  EXPECT_FALSE(module.load_module_config_from(dir()));
  EXPECT_EQ(errors(), std::vector<std::string>{std::string(k_sig) + ": unable to open config file: " + dir()});
}

TEST_F(ConfigFile, UnreadableTimeoutThrowsForTheDispatcher) {
  const std::string path = dir() + "/kv_module_veil_vm.conf";
  TestableModule module;
  kv_test::write_file(path, "url http://veil\ntimeout soon\n");
  EXPECT_THROW((void)module.load_module_config_from(path), std::invalid_argument);
  kv_test::write_file(path, "timeout 99999999999\n");
  EXPECT_THROW((void)module.load_module_config_from(path), std::out_of_range);
}

}  // namespace
}  // namespace veil_vm_test
