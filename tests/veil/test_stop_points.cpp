// The REST client's stop points under a stop control of the test's own: what the program's
// signal handling would carry out is recorded instead.
#include "veil/stop_points.h"

#include "common/stop_point.h"
#include "tests/support/test_controller.h"
#include "tests/veil/veil_test_support.h"
#include "veil/curl_api.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

using kv_test::Fault;
using kv_test::TestController;
using kv_veil_test::settings_for;
using std::chrono::milliseconds;

std::atomic<bool> g_pause_pending{false};
std::atomic<bool> g_stop_requested{false};
std::atomic<bool> g_stop_during_pause{false};
std::atomic<int> g_pauses_in_transfer{0};   // carried out where a stop may not run
std::atomic<int> g_pauses_elsewhere{0};

bool test_stop_requested() noexcept { return g_stop_requested; }
bool test_pending() noexcept { return g_pause_pending || g_stop_requested; }

// Holds still for half a second, as a pause until its resume would; a stop may come in
// meanwhile. A stop itself is only noted: the program would end here.
void test_carry_out(bool with_stop) {
  if (!g_pause_pending.exchange(false)) return;
  ++(with_stop ? g_pauses_elsewhere : g_pauses_in_transfer);
  std::this_thread::sleep_for(milliseconds(500));
  if (g_stop_during_pause) g_stop_requested = true;
}

struct Outcome {
  std::string error;  // libcurl's error text, "" when the request went through
  int result = -1;
  milliseconds elapsed{0};
};

class StopPoints : public ::testing::Test {
 protected:
  void SetUp() override {
    controller.start();
    g_pause_pending = false;
    g_stop_requested = false;
    g_stop_during_pause = false;
    g_pauses_in_transfer = 0;
    g_pauses_elsewhere = 0;
    kv_utils_common::set_stop_control({&test_stop_requested, &test_pending, &test_carry_out, -1});
  }
  void TearDown() override { kv_utils_common::set_stop_control({}); }

  // A request to a controller that replies after `delay`, paused 300 ms into the transfer (the
  // progress callback notices it within a second).
  Outcome paused_request(milliseconds delay) {
    controller.add_fault("GET", "/api/slow/", Fault{Fault::Kind::slow, delay});
    conf settings = settings_for(controller);
    settings.timeout = 10;
    curlAPI api(settings);
    EXPECT_EQ(api.login(), 0);
    std::thread pauser([] {
      std::this_thread::sleep_for(milliseconds(300));
      g_pause_pending = true;
    });
    Outcome outcome;
    const auto start = std::chrono::steady_clock::now();
    try {
      std::string reply;
      outcome.result = api.process_curl_api_request(controller.url() + "/api/slow/", GET, reply, "", nullptr);
    } catch (const std::runtime_error& e) {
      outcome.error = e.what();
    }
    outcome.elapsed = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
    pauser.join();
    return outcome;
  }

  kv_veil_test::LogCapture log;
  TestController controller;
};

TEST_F(StopPoints, APauseDuringATransferIsCarriedOutInItAndTheRequestGoesThrough) {
  const Outcome outcome = paused_request(milliseconds(1500));
  EXPECT_EQ(outcome.error, "");
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(g_pauses_in_transfer, 1);
  EXPECT_EQ(g_pauses_elsewhere, 0);
  EXPECT_GE(outcome.elapsed, milliseconds(1500));
}

TEST_F(StopPoints, AStopDuringThatPauseStillAbortsTheTransfer) {
  g_stop_during_pause = true;
  const Outcome outcome = paused_request(milliseconds(5000));
  EXPECT_EQ(outcome.error, curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK));
  EXPECT_EQ(g_pauses_in_transfer, 1);
  EXPECT_LT(outcome.elapsed, milliseconds(2500));
}

}  // namespace
