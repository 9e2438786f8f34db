#include "common/kv_utils_general.h"

#include "common/environment.h"
#include "tests/common/logger_test_support.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>

namespace {

using namespace kv_utils_common;
using kv_common_test::TempDir;
using kv_common_test::write_file;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(GeneralUtilities, LoginNameIsTheSessionsOrTheEffectiveUsers) {
  const std::string name = get_loginname();
  const char* session = ::getlogin();
  const passwd* user = ::getpwuid(::geteuid());
  EXPECT_TRUE((session != nullptr && name == session) || (session == nullptr && user != nullptr && name == user->pw_name))
      << name;
}

struct LogfileCase {
  const char* name;
  const char* config;
  const char* logfile;
};

class Logfile : public ::testing::TestWithParam<LogfileCase> {};

TEST_P(Logfile, ComesFromTheLastLogfileLine) {
  TempDir dir;
  write_file(dir.file("config.file"), GetParam().config);
  EXPECT_EQ(get_logfile(dir.file("config.file")), GetParam().logfile);
}

INSTANTIATE_TEST_SUITE_P(
    Configs, Logfile,
    ::testing::Values(LogfileCase{"empty", "", k_default_main_log_file},
                      LogfileCase{"one", "logfile /var/log/a.log\n", "/var/log/a.log"},
                      LogfileCase{"second_wins", "logfile /var/log/a.log\nother x\nlogfile /var/log/b.log\n", "/var/log/b.log"},
                      LogfileCase{"tabs_and_blanks", "\t logfile\t\t/var/log/my   log.log  \n", "/var/log/my log.log"},
                      LogfileCase{"comment", "#logfile /var/log/a.log\n  # logfile /x\n", k_default_main_log_file},
                      LogfileCase{"no_value", "logfile\nlogfile   \n", k_default_main_log_file},
                      LogfileCase{"other_keys", "logfiles /x\nlog /y\n", k_default_main_log_file}),
    [](const ::testing::TestParamInfo<LogfileCase>& param_info) { return std::string(param_info.param.name); });

TEST(GeneralUtilities, MissingProductConfigurationEndsTheProcess) {
  TempDir dir;
  const std::string path = dir.file("absent.file");
  EXPECT_EXIT((void)get_logfile(path), ::testing::ExitedWithCode(1), "Can't open config file: " + path);
}

TEST(GeneralUtilities, FreeSpaceForANumberOfBytes) {
  TempDir dir;
  EXPECT_TRUE(check_free_space(dir.path().string(), uint64_t{0}));
  EXPECT_TRUE(check_free_space(dir.path().string(), uint64_t{1}));
  EXPECT_FALSE(check_free_space(dir.path().string(), std::numeric_limits<uint64_t>::max()));

  CaptureStderr();
  EXPECT_FALSE(check_free_space(dir.file("absent"), uint64_t{0}));
  EXPECT_EQ(GetCapturedStderr(), "Can't call statfs for: " + dir.file("absent") + ": No such file or directory\n");
}

TEST(GeneralUtilities, FreeSpaceForACopyOfAFile) {
  TempDir dir;
  write_file(dir.file("small"), std::string(4096, 'x'));
  EXPECT_TRUE(check_free_space(dir.path().string(), dir.file("small")));

  CaptureStderr();
  EXPECT_FALSE(check_free_space(dir.path().string(), dir.file("absent")));
  EXPECT_EQ(GetCapturedStderr(), "Can't open: " + dir.file("absent") + ": No such file or directory\n");
}

// Opening a FIFO for reading would wait for a writer for ever.
TEST(GeneralUtilities, FifoIsMeasuredWithoutWaiting) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  CaptureStderr();
  EXPECT_FALSE(check_free_space(dir.path().string(), dir.file("fifo")));
  EXPECT_EQ(get_file_size(dir.file("fifo")), 0u);
  const std::string err = GetCapturedStderr();
  EXPECT_TRUE(contains(err, "Can't lseek: " + dir.file("fifo") + ": Illegal seek\n")) << err;
  EXPECT_TRUE(contains(err, "get_file_size: wrong input file type" + dir.file("fifo") + "\n")) << err;
}

TEST(GeneralUtilities, FileSizes) {
  TempDir dir;
  write_file(dir.file("file"), std::string(12345, 'x'));
  write_file(dir.file("empty"), "");
  EXPECT_EQ(get_file_size(dir.file("file")), 12345u);
  EXPECT_EQ(get_file_size(dir.file("empty")), 0u);

  CaptureStderr();
  EXPECT_EQ(get_file_size(dir.path().string()), 0u);
  EXPECT_EQ(get_file_size(dir.file("absent")), 0u);
  const std::string err = GetCapturedStderr();
  EXPECT_TRUE(contains(err, "get_file_size: wrong input file type" + dir.path().string() + "\n")) << err;
  EXPECT_TRUE(contains(err, "get_file_size: open input_file: " + dir.file("absent") + ": : No such file or directory"))
      << err;
}

TEST(GeneralUtilities, BlockDeviceSizeWhenOneIsThere) {
  std::string device;
  for (const char* candidate : {"/dev/loop0", "/dev/ram0", "/dev/sda", "/dev/vda", "/dev/nvme0n1"}) {
    struct stat info {};
    if (::stat(candidate, &info) == 0 && S_ISBLK(info.st_mode) && ::access(candidate, R_OK) == 0) {
      device = candidate;
      break;
    }
  }
  if (device.empty()) GTEST_SKIP() << "no readable block device";
  const std::string name = std::filesystem::path(device).filename().string();
  std::ifstream sectors_file("/sys/class/block/" + name + "/size");
  uint64_t sectors = 0;
  sectors_file >> sectors;
  CaptureStderr();
  const uint64_t size = get_file_size(device);
  const std::string err = GetCapturedStderr();
  EXPECT_EQ(size, sectors * 512) << err;
}

TEST(GeneralUtilities, SymbolicLinkSizeIsTheLengthOfItsTarget) {
  TempDir dir;
  write_file(dir.file("file"), "content");
  std::filesystem::create_symlink("some/target/name", dir.file("link"));
  EXPECT_EQ(get_symlink_size(dir.file("link")), std::string("some/target/name").size());

  CaptureStderr();
  EXPECT_EQ(get_symlink_size(dir.file("file")), 0u);
  EXPECT_EQ(get_symlink_size(dir.file("absent")), 0u);
  EXPECT_EQ(GetCapturedStderr(), "get_symlink_size: wrong input file type" + dir.file("file") + " is not a link!\n" +
                                     "get_symlink_size: wrong input file type" + dir.file("absent") + " is not a link!\n");
}

TEST(GeneralUtilities, HumanReadableSizes) {
  struct Case {
    float size;
    unsigned int precision;
    const char* text;
  };
  for (const Case& c : {Case{1536, 1, "1.5 kB"}, Case{1023, 0, "1023 B"}, Case{1048576, 3, "1 MB"},
                        Case{1024, 2, "1 kB"}, Case{0, 2, "0 B"}, Case{1536, 0, "2 kB"}, Case{1126, 2, "1.10 kB"},
                        Case{102400, 1, "100 kB"}, Case{1099511627776.0f, 1, "1 TB"},
                        Case{1208925819614629174706176.0f, 0, "1 YB"},
                        Case{1237940039285380274899124224.0f, 0, "1 Unknown"}}) {
    EXPECT_EQ(size_to_human(c.size, c.precision), c.text) << c.size << " " << c.precision;
  }
}

TEST(GeneralUtilities, DigestsInHexadecimal) {
  const unsigned char digest[] = {0x00, 0x0f, 0xa5, 0xff};
  EXPECT_EQ(digest_as_string(digest, 4), "000fa5ff");
  EXPECT_EQ(digest_as_string(digest, 0), "");
  testing::internal::CaptureStdout();
  print_digest(digest, 24);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "00 0f a5 \n");
}

// --- The platform query, with a stand-in for dmidecode first on the PATH ---

class HwPlatform : public ::testing::Test {
 protected:
  void SetUp() override {
    KvLogStream::set_log_level_logger(KvLogLvl::Error, kv_common_test::recorder(m_journal, "E"));
  }

  void fake_dmidecode(const std::string& script) {
    write_file(m_dir.file("dmidecode"), "#!/bin/sh\n" + script);
    ASSERT_EQ(::chmod(m_dir.file("dmidecode").c_str(), 0755), 0);
  }
  std::string path() const { return m_dir.path().string() + ":/usr/bin:/bin"; }

  TempDir m_dir;
  kv_common_test::LoggerStateGuard m_guard{m_dir};
  kv_common_test::Journal m_journal = kv_common_test::make_journal();
};

TEST_F(HwPlatform, KeepsTheMakerAndProductLines) {
  fake_dmidecode(
      "[ \"$*\" = '-t system' ] || exit 9\n"
      "printf 'System Information\\n\\tManufacturer: QEMU\\n\\tProduct Name: Standard PC\\n\\tSerial Number: x\\n'\n");
  EnvironmentVariable search_path("PATH", path());
  std::string output;
  ASSERT_TRUE(get_hw_platform(output));
  EXPECT_EQ(output, "\tManufacturer: QEMU\n\tProduct Name: Standard PC\n");
  EXPECT_TRUE(m_journal->empty());
}

TEST_F(HwPlatform, NothingFoundIsAnErrorWithTheCommandAndItsOutput) {
  fake_dmidecode("echo '# dmidecode: no SMBIOS nor DMI entry point found' >&2; exit 1\n");
  EnvironmentVariable search_path("PATH", path());
  std::string output;
  EXPECT_FALSE(get_hw_platform(output));
  ASSERT_EQ(m_journal->size(), 2u);
  EXPECT_TRUE(contains((*m_journal)[0], "bool kv_utils_common::get_hw_platform(std::string&): the following command "
                                        "produced an error: dmidecode -t system|grep 'Manufacturer\\|Product'"))
      << (*m_journal)[0];
  EXPECT_TRUE(contains((*m_journal)[1], "command output: ")) << (*m_journal)[1];
}

}  // namespace
