#include "tests/veil/veil_test_support.h"

#include "common/kv_logger.h"
#include "tests/support/temp_dir.h"
#include "veil/stop_points.h"

#include <gtest/gtest.h>

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

conf settings_for(const kv_test::TestController& controller, const kv_test::TestController::Options& options) {
  conf settings;
  settings.url = controller.url();
  settings.username = options.username;
  settings.password = options.password;
  settings.timeout = 5;
  return settings;
}

FastPolling::FastPolling() { kv_veil::testing::set_pause_for_tests([] {}); }

FastPolling::~FastPolling() { kv_veil::testing::set_pause_for_tests(nullptr); }

std::string golden(const std::string& name) { return kv_test::read_file(KV_TEST_SOURCE_DIR "/veil/data/" + name); }

}  // namespace kv_veil_test
