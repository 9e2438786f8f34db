#include "crypto/cpuinfo.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

// The kernel's own reading of the processor, as the first "flags" line of /proc/cpuinfo.
std::set<std::string> kernel_cpu_flags() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("flags", 0) != 0)
      continue;
    std::istringstream words(line.substr(line.find(':') + 1));
    std::set<std::string> flags;
    for (std::string flag; words >> flag;)
      flags.insert(flag);
    return flags;
  }
  return {};
}

TEST(CpuInfo, AgreesWithTheKernel) {
  const std::set<std::string> flags = kernel_cpu_flags();
  if (flags.empty())
    GTEST_SKIP() << "/proc/cpuinfo has no flags line";
  const auto& cpu = cppcrypto::cpu_info::impl_;
  EXPECT_EQ(cpu.sse2(), flags.count("sse2") == 1);
  EXPECT_EQ(cpu.sse41(), flags.count("sse4_1") == 1);
  EXPECT_EQ(cpu.bmi2(), flags.count("bmi2") == 1);
  // The kernel lists avx2 only when it saves the YMM registers.
  EXPECT_EQ(cpu.avx2(), flags.count("avx2") == 1);
  EXPECT_EQ((cpu.edx81_ & (1U << 29)) != 0, flags.count("lm") == 1);
}

TEST(CpuInfo, DefaultRecordHasNoFeature) {
  const cppcrypto::cpu_info::cpu_info_impl none;
  EXPECT_FALSE(none.sse2());
  EXPECT_FALSE(none.sse41());
  EXPECT_FALSE(none.avx2());
  EXPECT_FALSE(none.bmi2());
}

}  // namespace
