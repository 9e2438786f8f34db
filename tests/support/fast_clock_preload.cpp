// Preloaded into the real program by end-to-end tests of its long waits (the five minutes of a
// task poll bound, the grace a stop gives a request): the program's time runs KV_TEST_TIME_SCALE
// times faster. The monotonic clocks read the time since their first reading that many times
// over, and every timed wait (poll, ppoll, select, nanosleep, clock_nanosleep, usleep, sleep)
// lasts that many times less, so libcurl's time-outs, the polling pauses and the program's
// deadlines all shrink alike. The wall clock (the log's time stamps) stays as it is, and so does
// everything the test process does: the test controller's delays are real time.

#include <dlfcn.h>
#include <poll.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

namespace {

int64_t scale() {
  static const int64_t value = [] {
    const char* text = std::getenv("KV_TEST_TIME_SCALE");
    const long parsed = text ? std::strtol(text, nullptr, 10) : 1;
    return static_cast<int64_t>(parsed > 1 ? parsed : 1);
  }();
  return value;
}

constexpr int64_t k_ns = 1'000'000'000;

int64_t to_ns(const timespec& t) { return static_cast<int64_t>(t.tv_sec) * k_ns + t.tv_nsec; }

timespec from_ns(int64_t ns) {
  if (ns < 0) ns = 0;
  return timespec{static_cast<time_t>(ns / k_ns), static_cast<long>(ns % k_ns)};
}

bool is_monotonic(clockid_t id) {
  return id == CLOCK_MONOTONIC || id == CLOCK_MONOTONIC_RAW || id == CLOCK_MONOTONIC_COARSE || id == CLOCK_BOOTTIME;
}

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

using clock_gettime_function = int (*)(clockid_t, timespec*);

int real_clock_gettime(clockid_t id, timespec* t) {
  static const auto real = next<clock_gettime_function>("clock_gettime");
  return real(id, t);
}

// The real reading each monotonic clock started from (0: not read yet), indexed by clock id.
std::atomic<int64_t> g_base[8];

int64_t base_of(clockid_t id, int64_t now) {
  int64_t expected = 0;
  std::atomic<int64_t>& base = g_base[id];
  return base.compare_exchange_strong(expected, now) ? now : expected;
}

// The real length of a wait of `ns` in the program's time: at least 1 ns for a wait that is
// not zero.
int64_t shrunk(int64_t ns) { return ns <= 0 ? ns : (ns + scale() - 1) / scale(); }

}  // namespace

extern "C" int clock_gettime(clockid_t id, timespec* t) {
  const int result = real_clock_gettime(id, t);
  if (result != 0 || !is_monotonic(id) || scale() == 1) return result;
  const int64_t now = to_ns(*t);
  const int64_t base = base_of(id, now);
  *t = from_ns(base + (now - base) * scale());
  return result;
}

extern "C" int poll(pollfd* fds, nfds_t count, int timeout_ms) {
  static const auto real = next<int (*)(pollfd*, nfds_t, int)>("poll");
  if (timeout_ms > 0) timeout_ms = static_cast<int>((timeout_ms + scale() - 1) / scale());
  return real(fds, count, timeout_ms);
}

extern "C" int ppoll(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask) {
  static const auto real = next<int (*)(pollfd*, nfds_t, const timespec*, const sigset_t*)>("ppoll");
  if (timeout == nullptr) return real(fds, count, timeout, mask);
  const timespec shorter = from_ns(shrunk(to_ns(*timeout)));
  return real(fds, count, &shorter, mask);
}

extern "C" int select(int count, fd_set* read, fd_set* write, fd_set* error, timeval* timeout) {
  static const auto real = next<int (*)(int, fd_set*, fd_set*, fd_set*, timeval*)>("select");
  if (timeout == nullptr) return real(count, read, write, error, timeout);
  const int64_t us = shrunk(static_cast<int64_t>(timeout->tv_sec) * 1'000'000 + timeout->tv_usec);
  timeval shorter{static_cast<time_t>(us / 1'000'000), static_cast<suseconds_t>(us % 1'000'000)};
  return real(count, read, write, error, &shorter);
}

extern "C" int nanosleep(const timespec* request, timespec* remaining) {
  static const auto real = next<int (*)(const timespec*, timespec*)>("nanosleep");
  const timespec shorter = from_ns(shrunk(to_ns(*request)));
  return real(&shorter, remaining);
}

extern "C" int clock_nanosleep(clockid_t id, int flags, const timespec* request, timespec* remaining) {
  static const auto real = next<int (*)(clockid_t, int, const timespec*, timespec*)>("clock_nanosleep");
  int64_t ns = to_ns(*request);
  if ((flags & TIMER_ABSTIME) != 0) {
    if (!is_monotonic(id)) return real(id, flags, request, remaining);
    // An end in the program's time: sleep for what is left of it, shrunk.
    timespec now{};
    clock_gettime(id, &now);
    ns -= to_ns(now);
  }
  const timespec shorter = from_ns(shrunk(ns));
  return real(id, 0, &shorter, remaining);
}

extern "C" int usleep(useconds_t us) {
  const timespec request = from_ns(static_cast<int64_t>(us) * 1000);
  return nanosleep(&request, nullptr);
}

extern "C" unsigned int sleep(unsigned int seconds) {
  const timespec request = from_ns(static_cast<int64_t>(seconds) * k_ns);
  return nanosleep(&request, nullptr) == 0 ? 0 : seconds;
}
