#pragma once

// Helpers shared by the tests of the REST client: a temp directory per test, log capture, and
// client settings that point at a test controller.

#include "tests/support/test_controller.h"
#include "veil/veil_conf.h"

#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>

namespace kv_veil_test {

// A fresh directory for one test; removed afterwards unless the test failed, when its path
// is printed so it can be inspected.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  [[nodiscard]] const std::filesystem::path& path() const { return m_path; }
  [[nodiscard]] std::string file(const std::string& name) const { return (m_path / name).string(); }

 private:
  std::filesystem::path m_path;
};

// Everything written to std::cout and std::cerr (where the log goes in tests) while it lives.
class LogCapture {
 public:
  LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  ~LogCapture();
  [[nodiscard]] std::string text() const { return m_out.str() + m_err.str(); }
  [[nodiscard]] bool contains(const std::string& part) const { return text().find(part) != std::string::npos; }
  [[nodiscard]] size_t count(const std::string& part) const;

 private:
  std::ostringstream m_out;
  std::ostringstream m_err;
  std::streambuf* m_old_out;
  std::streambuf* m_old_err;
};

// Settings for a client of this controller, with its user and password.
[[nodiscard]] conf settings_for(const kv_test::TestController& controller,
                                const kv_test::TestController::Options& options = {});

// While it lives the polling pause returns at once, so long poll sequences run quickly.
class FastPolling {
 public:
  FastPolling();
  FastPolling(const FastPolling&) = delete;
  FastPolling& operator=(const FastPolling&) = delete;
  ~FastPolling();
};

// Runs a shell command; throws when it fails.
void run_shell(const std::string& command);

}  // namespace kv_veil_test
