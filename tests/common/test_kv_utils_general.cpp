#include "common/kv_utils_general.h"

#include "common/environment.h"
#include "tests/common/logger_test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

namespace {

using namespace kv_utils_common;
using kv_common_test::TempDir;
using kv_common_test::write_file;

// Tabs count as blanks, comments are skipped and a later "logfile" line wins.
TEST(GeneralUtilities, LogfileFromTheProductConfiguration) {
  TempDir dir;
  const std::pair<std::string, std::string> rows[] = {
      {"logfile /var/log/a.log\n# logfile /x\nlogfile\t\t/var/log/my   b.log \n", "/var/log/my b.log"},
      {"logfile\nlogfiles /x\n", k_default_main_log_file},
  };
  for (const auto& [config, logfile] : rows) {
    write_file(dir.file("config.file"), config);
    EXPECT_EQ(get_logfile(dir.file("config.file")), logfile) << config;
  }
  EXPECT_EXIT((void)get_logfile(dir.file("absent")), ::testing::ExitedWithCode(1), "Can't open config file: ");
}

// Sizes of files, links and block devices; other kinds give 0, and a FIFO is measured without
// waiting for a writer.
TEST(GeneralUtilities, SizesAndFreeSpace) {
  TempDir dir;
  write_file(dir.file("file"), std::string(12345, 'x'));
  std::filesystem::create_symlink("some/target", dir.file("link"));
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(get_file_size(dir.file("file")), 12345u);
  EXPECT_EQ(get_file_size(dir.path().string()), 0u);
  EXPECT_EQ(get_file_size(dir.file("fifo")), 0u);
  EXPECT_EQ(get_symlink_size(dir.file("link")), 11u);
  EXPECT_EQ(get_symlink_size(dir.file("file")), 0u);
  EXPECT_TRUE(check_free_space(dir.path().string(), dir.file("file")));
  EXPECT_FALSE(check_free_space(dir.path().string(), dir.file("fifo")));
  EXPECT_FALSE(check_free_space(dir.path().string(), std::numeric_limits<uint64_t>::max()));
  testing::internal::GetCapturedStderr();

  // A block device only where one with a size can be opened.
  for (const std::string name : {"loop0", "vda", "sda", "nvme0n1"}) {
    std::ifstream sectors_file("/sys/class/block/" + name + "/size");
    uint64_t sectors = 0;
    if (!(sectors_file >> sectors) || sectors == 0 || !std::ifstream("/dev/" + name).is_open()) continue;
    EXPECT_EQ(get_file_size("/dev/" + name), sectors * 512) << name;
    break;
  }
}

TEST(GeneralUtilities, HumanSizesAndDigests) {
  EXPECT_EQ(size_to_human(1536, 1), "1.5 kB");
  EXPECT_EQ(size_to_human(1024, 2), "1 kB");
  const unsigned char digest[] = {0x00, 0x0f, 0xa5, 0xff};
  EXPECT_EQ(digest_as_string(digest, 4), "000fa5ff");
  testing::internal::CaptureStdout();
  print_digest(digest, 24);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "00 0f a5 \n");
  EXPECT_FALSE(get_loginname().empty());
}

// The platform query with a stand-in for dmidecode that fails: two error lines and false.
TEST(GeneralUtilities, FailingHwPlatformQuery) {
  TempDir dir;
  kv_common_test::LoggerStateGuard guard(dir);
  kv_common_test::Journal journal = kv_common_test::make_journal();
  KvLogStream::set_log_level_logger(KvLogLvl::Error, kv_common_test::recorder(journal, "E"));
  EnvironmentVariable search_path("PATH", dir.path().string() + ":/usr/bin:/bin");
  write_file(dir.file("dmidecode"), "#!/bin/sh\necho 'no SMBIOS nor DMI entry point found' >&2; exit 1\n");
  ASSERT_EQ(::chmod(dir.file("dmidecode").c_str(), 0755), 0);
  std::string output;
  EXPECT_FALSE(get_hw_platform(output));
  ASSERT_EQ(journal->size(), 2u);
  EXPECT_NE((*journal)[0].find("get_hw_platform(std::string&): the following command produced an error: "
                               "dmidecode -t system|grep 'Manufacturer\\|Product'"),
            std::string::npos)
      << (*journal)[0];
}

}  // namespace
