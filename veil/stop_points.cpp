#include "veil/stop_points.h"

#include "common/stop_point.h"

#include <algorithm>
#include <thread>

namespace kv_veil {
namespace {

using clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

bool program_stop_requested() { return kv_utils_common::stop_requested(); }

void sleep_one_second() { kv_utils_common::sleep_or_stop(std::chrono::seconds(1)); }

stop_hook g_stop_hook = &program_stop_requested;
void (*g_pause)() = &sleep_one_second;
std::optional<clock::time_point> g_stop_seen;
milliseconds g_grace = k_stop_grace;
milliseconds g_budget = k_stop_budget;
milliseconds g_late_grace = k_late_grace;

// A sleep that a stop does not end goes in slices, so that a pause is still carried out soon.
constexpr milliseconds k_held_slice{100};

}  // namespace

void set_stop_hook(stop_hook hook) noexcept {
  g_stop_hook = hook ? hook : &program_stop_requested;
  g_stop_seen.reset();
}

bool stop_requested() noexcept {
  if (!g_stop_hook()) return false;
  note_stop();
  return true;
}

void note_stop() noexcept {
  if (!g_stop_seen) g_stop_seen = clock::now();
}

std::optional<clock::time_point> stop_seen() noexcept { return g_stop_seen; }

bool stop_time_over() noexcept { return g_stop_seen && clock::now() >= *g_stop_seen + g_budget; }

milliseconds stop_grace() noexcept { return g_grace; }

milliseconds late_grace() noexcept { return g_late_grace; }

std::optional<clock::time_point> stop_deadline() noexcept {
  if (!g_stop_seen) return std::nullopt;
  return *g_stop_seen + g_budget;
}

std::optional<clock::time_point> reply_deadline(clock::time_point started) noexcept {
  if (!g_stop_seen) return std::nullopt;
  const clock::time_point deadline = *g_stop_seen + g_budget;
  return std::min(std::max(*g_stop_seen, started) + g_grace, std::max(deadline, started) + g_late_grace);
}

void stop_point() { kv_utils_common::stop_point(); }

void pause_point() { kv_utils_common::pause_point(); }

bool pause_one_second() {
  stop_point();
  if (stop_requested()) return false;
  g_pause();
  stop_point();
  return !stop_requested();
}

void sleep_until(clock::time_point until, bool hold_stop) {
  for (;;) {
    if (hold_stop) {
      pause_point();
      (void)stop_requested();  // starts the stop's clock, which bounds this sleep too
    } else {
      stop_point();
      if (stop_requested()) return;
    }
    clock::time_point end = until;
    if (g_stop_seen) end = std::min(end, *g_stop_seen + g_budget);
    const milliseconds left = std::chrono::ceil<milliseconds>(end - clock::now());
    if (left.count() <= 0) return;
    if (hold_stop)
      std::this_thread::sleep_for(std::min(left, k_held_slice));
    else
      kv_utils_common::sleep_or_stop(std::min(left, k_held_slice));
  }
}

namespace testing {
void set_pause_for_tests(void (*pause)()) noexcept { g_pause = pause ? pause : &sleep_one_second; }

void set_stop_times_for_tests(milliseconds grace, milliseconds budget, milliseconds late_grace) noexcept {
  g_grace = grace.count() > 0 ? grace : milliseconds(k_stop_grace);
  g_budget = budget.count() > 0 ? budget : milliseconds(k_stop_budget);
  g_late_grace = late_grace.count() > 0 ? late_grace : milliseconds(k_late_grace);
}
}  // namespace testing

}  // namespace kv_veil
