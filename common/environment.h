#pragma once

// Environment variables of the process, and a variable that lives as long as a scope.

#include <string>

namespace kv_utils_common {

namespace kv_details_linux {

// Throws std::runtime_error when setenv refuses (an empty name or one holding '=').
void set_env_var(const std::string& name, const std::string& value, bool overwrite);
// Throws std::runtime_error when unsetenv refuses.
void unset_env_var(const std::string& name);
// The empty string when the variable is not set.
[[nodiscard]] std::string get_env_var(const std::string& name);

}  // namespace kv_details_linux

// Sets the variable on construction and removes it from the environment on destruction,
// whatever it held before.
class EnvironmentVariable {
 public:
  // Both throw std::runtime_error when the variable cannot be set.
  EnvironmentVariable(const std::string& name, const std::string& value);
  explicit EnvironmentVariable(const std::string& name);
  EnvironmentVariable(const EnvironmentVariable&) = delete;
  EnvironmentVariable& operator=(const EnvironmentVariable&) = delete;
  ~EnvironmentVariable();

  [[nodiscard]] std::string getName() const { return m_name; }
  [[nodiscard]] std::string getValue() const;
  void setValue(const std::string& value);
  void unset();

  [[nodiscard]] static std::string getValue(const std::string& name);
  static void setValue(const std::string& name, const std::string& value);
  static void unset(const std::string& name);

 private:
  std::string m_name;
};

}  // namespace kv_utils_common
