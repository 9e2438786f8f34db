#include "common/stop_point.h"

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace kv_utils_common {

namespace {

stop_control g_control;

// What one poll of `fd` (-1: none) and, with `use_wake`, the wake descriptor found. Both ready:
// the request comes first.
enum class woke { nothing, input, stop };  // nothing: the time ran out or a signal came in

woke poll_once(int fd, int timeout_ms, bool use_wake) {
  pollfd fds[2];
  nfds_t count = 0;
  if (fd >= 0) fds[count++] = pollfd{fd, POLLIN, 0};
  const bool with_wake = use_wake && g_control.wake_fd >= 0;
  if (with_wake) fds[count++] = pollfd{g_control.wake_fd, POLLIN, 0};
  if (::poll(count == 0 ? nullptr : fds, count, timeout_ms) <= 0) return woke::nothing;
  if (with_wake && fds[count - 1].revents != 0) return woke::stop;
  return woke::input;
}

}  // namespace

void set_stop_control(const stop_control& control) noexcept { g_control = control; }

bool stop_requested() noexcept { return g_control.requested != nullptr && g_control.requested(); }

bool stop_point_pending() noexcept { return g_control.pending != nullptr && g_control.pending(); }

void stop_point() {
  if (stop_point_pending() && g_control.carry_out != nullptr) g_control.carry_out(true);
}

void pause_point() {
  if (stop_point_pending() && g_control.carry_out != nullptr) g_control.carry_out(false);
}

void sleep_or_stop(std::chrono::milliseconds duration) {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + duration;
  // Should the wake descriptor stay readable while nothing waits (a stop is being carried out),
  // the wait leaves it out rather than spin.
  bool use_wake = true;
  for (;;) {
    stop_point();
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
    if (left.count() <= 0) return;
    if (poll_once(-1, static_cast<int>(left.count()), use_wake) == woke::stop && !stop_point_pending()) use_wake = false;
  }
}

void wait_readable_or_stop(int fd) {
  if (fd < 0) return;
  bool use_wake = true;
  for (;;) {
    stop_point();
    switch (poll_once(fd, -1, use_wake)) {
      case woke::input:
        return;
      case woke::stop:
        if (!stop_point_pending()) use_wake = false;
        break;
      case woke::nothing:
        break;
    }
  }
}

stop_aware_reader::stop_aware_reader(std::FILE* stream) : m_stream(stream) {
  // Without non-blocking mode a read would sit in the kernel past a stop request that arrives
  // just before it starts. Should the switch fail, reads simply block as before.
  const int fd = ::fileno(stream);
  const int flags = fd < 0 ? -1 : ::fcntl(fd, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK) == 0) (void)::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

bool stop_aware_reader::would_block() {
  const int error = errno;
  if (!std::ferror(m_stream)) return false;
  if (error != EAGAIN && error != EWOULDBLOCK && error != EINTR) return false;
  std::clearerr(m_stream);
  return true;
}

char* stop_aware_reader::gets(char* buffer, int size) {
  for (;;) {
    stop_point();
    std::clearerr(m_stream);
    errno = 0;
    // glibc hands back what it has read when the descriptor runs dry in the middle of a line.
    if (char* got = std::fgets(buffer, size, m_stream)) return got;
    if (!would_block()) return nullptr;
    wait_readable_or_stop(::fileno(m_stream));
  }
}

int stop_aware_reader::getc() {
  for (;;) {
    stop_point();
    std::clearerr(m_stream);
    errno = 0;
    const int c = std::fgetc(m_stream);
    if (c != EOF) return c;
    if (!would_block()) return EOF;
    wait_readable_or_stop(::fileno(m_stream));
  }
}

long stop_aware_reader::read_some(char* buffer, size_t size) {
  const int fd = ::fileno(m_stream);
  for (;;) {
    stop_point();
    const ssize_t got = ::read(fd, buffer, size);
    if (got >= 0) return static_cast<long>(got);
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
    wait_readable_or_stop(fd);
  }
}

}  // namespace kv_utils_common
