#include "veil/stop_points.h"

#include "common/stop_point.h"

#include <chrono>

namespace kv_veil {
namespace {

bool program_stop_requested() { return kv_utils_common::stop_requested(); }

void sleep_one_second() { kv_utils_common::sleep_or_stop(std::chrono::seconds(1)); }

stop_hook g_stop_hook = &program_stop_requested;
void (*g_pause)() = &sleep_one_second;

}  // namespace

void set_stop_hook(stop_hook hook) noexcept { g_stop_hook = hook ? hook : &program_stop_requested; }

bool stop_requested() noexcept { return g_stop_hook(); }

void stop_point() { kv_utils_common::stop_point(); }

void pause_point() { kv_utils_common::pause_point(); }

bool pause_one_second() {
  stop_point();
  if (stop_requested()) return false;
  g_pause();
  stop_point();
  return !stop_requested();
}

namespace testing {
void set_pause_for_tests(void (*pause)()) noexcept { g_pause = pause ? pause : &sleep_one_second; }
}  // namespace testing

}  // namespace kv_veil
