#include "common/environment.h"

#include <cstdlib>
#include <stdexcept>

namespace kv_utils_common {

namespace kv_details_linux {

void set_env_var(const std::string& name, const std::string& value, bool overwrite) {
  if (::setenv(name.c_str(), value.c_str(), overwrite ? 1 : 0) != 0)
    throw std::runtime_error("environment variable \"" + name + "\" set failure");
}

void unset_env_var(const std::string& name) {
  if (::unsetenv(name.c_str()) != 0) throw std::runtime_error("environment variable \"" + name + "\" unset failure");
}

std::string get_env_var(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace kv_details_linux

EnvironmentVariable::EnvironmentVariable(const std::string& name, const std::string& value) : m_name(name) {
  kv_details_linux::set_env_var(m_name, value, true);
}

EnvironmentVariable::EnvironmentVariable(const std::string& name) : EnvironmentVariable(name, "") {}

EnvironmentVariable::~EnvironmentVariable() {
  // The constructor has set the variable, so the name is one unsetenv accepts.
  try {
    kv_details_linux::unset_env_var(m_name);
  } catch (...) {
  }
}

std::string EnvironmentVariable::getValue() const { return kv_details_linux::get_env_var(m_name); }

void EnvironmentVariable::setValue(const std::string& value) { kv_details_linux::set_env_var(m_name, value, true); }

void EnvironmentVariable::unset() { kv_details_linux::unset_env_var(m_name); }

std::string EnvironmentVariable::getValue(const std::string& name) { return kv_details_linux::get_env_var(name); }

void EnvironmentVariable::setValue(const std::string& name, const std::string& value) {
  kv_details_linux::set_env_var(name, value, true);
}

void EnvironmentVariable::unset(const std::string& name) { kv_details_linux::unset_env_var(name); }

}  // namespace kv_utils_common
