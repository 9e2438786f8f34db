#pragma once

// Helpers shared by the tests of the REST client: log capture, client settings that point at a
// test controller, fast polling and the golden files under tests/veil/data.

#include "tests/support/test_controller.h"
#include "veil/veil_conf.h"

#include <iostream>
#include <sstream>
#include <string>

namespace kv_veil_test {

// Everything written to std::cout and std::cerr (where the log goes in tests) while it lives.
class LogCapture {
 public:
  LogCapture() : m_old_out(std::cout.rdbuf(m_out.rdbuf())), m_old_err(std::cerr.rdbuf(m_err.rdbuf())) {}
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  ~LogCapture() {
    std::cout.rdbuf(m_old_out);
    std::cerr.rdbuf(m_old_err);
  }
  [[nodiscard]] std::string text() const { return m_out.str() + m_err.str(); }
  [[nodiscard]] bool contains(const std::string& part) const { return text().find(part) != std::string::npos; }

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
struct FastPolling {
  FastPolling();
  FastPolling(const FastPolling&) = delete;
  FastPolling& operator=(const FastPolling&) = delete;
  ~FastPolling();
};

// The content of tests/veil/data/<name>.
[[nodiscard]] std::string golden(const std::string& name);

}  // namespace kv_veil_test
