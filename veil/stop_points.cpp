#include "veil/stop_points.h"

#include <boost/chrono/duration.hpp>
#include <boost/thread/thread.hpp>

namespace kv_veil {
namespace {

bool never_stop() { return false; }

void sleep_one_second() { boost::this_thread::sleep_for(boost::chrono::seconds(1)); }

stop_hook g_stop_hook = &never_stop;
void (*g_pause)() = &sleep_one_second;

}  // namespace

void set_stop_hook(stop_hook hook) noexcept { g_stop_hook = hook ? hook : &never_stop; }

bool stop_requested() noexcept { return g_stop_hook(); }

bool pause_one_second() {
  if (stop_requested()) return false;
  g_pause();
  return !stop_requested();
}

namespace testing {
void set_pause_for_tests(void (*pause)()) noexcept { g_pause = pause ? pause : &sleep_one_second; }
}  // namespace testing

}  // namespace kv_veil
