#include "common/environment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace {

using namespace kv_utils_common;
using namespace kv_utils_common::kv_details_linux;

TEST(Environment, ScopedVariable) {
  const std::string name = "KV_ENVIRONMENT_TEST_VARIABLE";
  {
    EnvironmentVariable variable(name, "one");
    set_env_var(name, "two", false);
    EXPECT_EQ(variable.getValue(), "one");
    EnvironmentVariable::setValue(name, "two");
    EXPECT_EQ(get_env_var(name), "two");
  }
  EXPECT_EQ(std::getenv(name.c_str()), nullptr);
  EXPECT_THROW(EnvironmentVariable("BAD=NAME", "x"), std::runtime_error);
}

}  // namespace
