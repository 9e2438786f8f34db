#include "tests/support/program_runner.h"

#include <gtest/gtest.h>

namespace kv_test {
namespace {

TEST(CommandLine, NoArgumentIsAWrongCombination) {
  ModuleSandbox sandbox;
  ProgramResult result = sandbox.run({});
  EXPECT_EQ(result.status, 14) << result.out << result.err;
  EXPECT_NE(result.err.find("int main(int, char**)Wrong combination of options"), std::string::npos) << result.err;
  EXPECT_NE(sandbox.log().find("Wrong combination of options"), std::string::npos) << sandbox.log_tail();
}

}  // namespace
}  // namespace kv_test
