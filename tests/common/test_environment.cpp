#include "common/environment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace {

using namespace kv_utils_common;
using namespace kv_utils_common::kv_details_linux;

const std::string k_name = "KV_ENVIRONMENT_TEST_VARIABLE";

bool is_set(const std::string& name) { return std::getenv(name.c_str()) != nullptr; }

TEST(Environment, SetGetAndUnset) {
  set_env_var(k_name, "one", true);
  EXPECT_EQ(get_env_var(k_name), "one");
  set_env_var(k_name, "two", false);
  EXPECT_EQ(get_env_var(k_name), "one");
  set_env_var(k_name, "two", true);
  EXPECT_EQ(get_env_var(k_name), "two");
  unset_env_var(k_name);
  EXPECT_FALSE(is_set(k_name));
  EXPECT_EQ(get_env_var(k_name), "");
}

TEST(Environment, RefusedNamesThrowWithTheName) {
  try {
    set_env_var("BAD=NAME", "x", true);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "environment variable \"BAD=NAME\" set failure");
  }
  try {
    unset_env_var("");
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "environment variable \"\" unset failure");
  }
}

TEST(Environment, ScopedVariableIsGoneAfterItsScope) {
  ::setenv(k_name.c_str(), "before", 1);
  {
    EnvironmentVariable variable(k_name, "inside");
    EXPECT_EQ(variable.getName(), k_name);
    EXPECT_EQ(variable.getValue(), "inside");
    variable.setValue("changed");
    EXPECT_EQ(EnvironmentVariable::getValue(k_name), "changed");
  }
  EXPECT_FALSE(is_set(k_name));

  {
    EnvironmentVariable empty(k_name);
    EXPECT_TRUE(is_set(k_name));
    EXPECT_EQ(empty.getValue(), "");
    empty.unset();
    EXPECT_FALSE(is_set(k_name));
  }
  EXPECT_FALSE(is_set(k_name));
}

TEST(Environment, StaticOperationsWorkOnAnyName) {
  EnvironmentVariable::setValue(k_name, "v");
  EXPECT_EQ(EnvironmentVariable::getValue(k_name), "v");
  EnvironmentVariable::unset(k_name);
  EXPECT_FALSE(is_set(k_name));
  EXPECT_THROW(EnvironmentVariable("", "x"), std::runtime_error);
}

// The variable reaches the programs the process starts.
TEST(Environment, ChildProcessesSeeTheVariable) {
  EnvironmentVariable variable(k_name, "for the child");
  EXPECT_EQ(std::system(("test \"$" + k_name + "\" = 'for the child'").c_str()), 0);
}

}  // namespace
