#include "tests/veil/veil_test_support.h"

#include "common/kv_logger.h"
#include "veil/stop_points.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

namespace kv_veil_test {
namespace {

// The log stream must never read the product's logger configuration under /opt.
class QuietLogEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { KvLogStream::read_config_ = false; }
};

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new QuietLogEnvironment);

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kv_veil_test_XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  m_path = pattern;
}

TempDir::~TempDir() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (info && info->result()->Failed()) {
    std::cerr << "kept the test directory " << m_path << '\n';
    return;
  }
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

LogCapture::LogCapture() : m_old_out(std::cout.rdbuf(m_out.rdbuf())), m_old_err(std::cerr.rdbuf(m_err.rdbuf())) {}

LogCapture::~LogCapture() {
  std::cout.rdbuf(m_old_out);
  std::cerr.rdbuf(m_old_err);
}

size_t LogCapture::count(const std::string& part) const {
  const std::string all = text();
  size_t n = 0;
  for (size_t pos = all.find(part); pos != std::string::npos; pos = all.find(part, pos + part.size())) ++n;
  return n;
}

conf settings_for(const kv_test::TestController& controller, const kv_test::TestController::Options& options) {
  conf settings;
  settings.url = controller.url();
  settings.username = options.username;
  settings.password = options.password;
  settings.timeout = 5;
  return settings;
}

FastPolling::FastPolling() {
  kv_veil::testing::set_pause_for_tests([] {});
}

FastPolling::~FastPolling() { kv_veil::testing::set_pause_for_tests(nullptr); }

void run_shell(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("command failed: " + command);
}

}  // namespace kv_veil_test
