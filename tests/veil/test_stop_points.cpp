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
using std::chrono::milliseconds;

std::atomic<bool> g_pause_pending{false};
std::atomic<bool> g_stop_requested{false};
std::atomic<bool> g_stop_during_pause{false};
std::atomic<int> g_pauses_in_transfer{0};  // carried out where a stop may not run

bool test_stop_requested() noexcept { return g_stop_requested; }
bool test_pending() noexcept { return g_pause_pending || g_stop_requested; }

// Holds still for half a second, as a pause until its resume would; a stop may come in
// meanwhile. A stop itself is only noted: the program would end here.
void test_carry_out(bool with_stop) {
  if (!g_pause_pending.exchange(false)) return;
  if (!with_stop) ++g_pauses_in_transfer;
  std::this_thread::sleep_for(milliseconds(500));
  if (g_stop_during_pause) g_stop_requested = true;
}

// A pause 300 ms into a transfer is carried out in it (the progress callback notices it within a
// second) and the request goes through; a stop during that pause still aborts the transfer.
TEST(StopPoints, APauseDuringATransferIsCarriedOutInIt) {
  kv_test::TestController controller;
  controller.start();
  kv_veil_test::LogCapture log;
  for (const bool stop : {false, true}) {
    g_pause_pending = false;
    g_stop_requested = false;
    g_stop_during_pause = stop;
    g_pauses_in_transfer = 0;
    kv_utils_common::set_stop_control({&test_stop_requested, &test_pending, &test_carry_out, -1});
    controller.add_fault("GET", "/api/slow/", Fault{Fault::Kind::slow, milliseconds(stop ? 5000 : 1500)});
    curlAPI api(kv_veil_test::settings_for(controller));
    ASSERT_EQ(api.login(), 0);
    std::thread pauser([] {
      std::this_thread::sleep_for(milliseconds(300));
      g_pause_pending = true;
    });
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    try {
      std::string reply;
      EXPECT_EQ(api.process_curl_api_request(controller.url() + "/api/slow/", GET, reply, "", nullptr), 0);
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    pauser.join();
    kv_utils_common::set_stop_control({});
    EXPECT_EQ(g_pauses_in_transfer, 1);
    EXPECT_EQ(error, stop ? curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK) : "");
    EXPECT_TRUE(stop ? elapsed < milliseconds(2500) : elapsed >= milliseconds(1500));
  }
}

std::atomic<int> g_pauses{0};

// Once a stop is under way (the program's shutdown noted it), a wait for a task ends at the
// stop's deadline, and past it not even one pause goes to a task; requests still go out, each
// waiting for its reply only the late grace.
TEST(StopPoints, TheStopsDeadlineEndsWaitingButNotRequests) {
  kv_test::TestController controller;
  controller.start();
  const std::string task = controller.add_task({std::string("IN_PROGRESS")});
  curlAPI api(kv_veil_test::settings_for(controller));
  ASSERT_EQ(api.login(), 0);
  kv_veil::testing::set_pause_for_tests([] {
    ++g_pauses;
    std::this_thread::sleep_for(milliseconds(20));
  });
  kv_veil::testing::set_stop_times_for_tests(milliseconds(4000), milliseconds(600), milliseconds(300));
  kv_veil::note_stop();
  kv_veil_test::LogCapture log;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(api.wait_for_task_completion(task), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(2000));
  g_pauses = 0;
  EXPECT_EQ(api.wait_for_task_completion(task), 1);
  EXPECT_EQ(g_pauses, 0);

  controller.clear_requests();
  controller.add_fault("GET", "/api/slow/", Fault{Fault::Kind::slow, milliseconds(5000)});
  std::string reply;
  EXPECT_EQ(api.process_curl_api_request(controller.url() + "/api/domains/", GET, reply, "", nullptr), 0);
  const auto slow_start = std::chrono::steady_clock::now();
  EXPECT_THROW((void)api.process_curl_api_request(controller.url() + "/api/slow/", GET, reply, "", nullptr),
               std::runtime_error);
  // libcurl asks its progress callback about once a second while nothing moves.
  EXPECT_LT(std::chrono::steady_clock::now() - slow_start, milliseconds(2500));
  EXPECT_EQ(controller.requests().size(), 2u);
  kv_veil::set_stop_hook(nullptr);
  kv_veil::testing::set_stop_times_for_tests({}, {});
  kv_veil::testing::set_pause_for_tests(nullptr);
  EXPECT_TRUE(log.contains("stop of the program leaves")) << log.text();
}

// A stop requested during a sleep that holds it starts the stop's clock at once, so its deadline
// bounds the rest of the sleep.
TEST(StopPoints, AHeldSleepStartsTheStopsClock) {
  kv_veil::set_stop_hook([] { return true; });
  kv_veil::testing::set_stop_times_for_tests(milliseconds(200), milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  kv_veil::sleep_until(start + milliseconds(5000), true);
  const auto seen = kv_veil::stop_seen();
  kv_veil::set_stop_hook(nullptr);
  kv_veil::testing::set_stop_times_for_tests({}, {});
  ASSERT_TRUE(seen.has_value());
  EXPECT_LT(*seen - start, milliseconds(100));
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(2000));
}

}  // namespace
