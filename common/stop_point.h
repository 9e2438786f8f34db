#pragma once

// Stop points. A signal may tell the program to stop at any moment, but the stop itself
// (terminating the children, letting the module release what it holds, logging, exiting) cannot
// safely run inside a signal handler: the signal may have landed inside malloc, stdio or
// libcurl. So the handler only records the request, and the program carries the stop out at its
// next stop point. Every wait of the program is one (the one-second pauses of polling loops,
// the reads of a child's output, libcurl transfers), so a stop takes effect within about a
// second wherever the program waits.
//
// The module framework's signal handling installs the control below. Until it does (tests of
// the lower layers, tools without a module) no stop is ever requested and these waits are plain
// waits.

#include <chrono>
#include <cstdio>

namespace kv_utils_common {

struct stop_control {
  // Async-signal-safe: true while a requested stop waits to be carried out. It answers false
  // again once the stop runs, so that the stop's own waits go on normally.
  bool (*requested)() noexcept = nullptr;
  // Carries the requested stop out; does not return.
  void (*carry_out)() = nullptr;
  // Becomes readable when a stop is requested, so that a wait in poll wakes at once; -1 when
  // there is none.
  int wake_fd = -1;
};

// An empty control switches stop handling off.
void set_stop_control(const stop_control& control) noexcept;

// True when a stop waits to be carried out. For places where the stop must not run (a libcurl
// callback): they abandon their wait and reach a stop point right after.
[[nodiscard]] bool stop_requested() noexcept;

// Carries out a requested stop, never returning then; otherwise returns at once.
void stop_point();

// Waits for `duration`; a stop requested meanwhile ends the wait at once and is carried out.
void sleep_or_stop(std::chrono::milliseconds duration);

// Waits until `fd` has input (or its end, or an error) to read; a stop requested meanwhile ends
// the wait at once and is carried out.
void wait_readable_or_stop(int fd);

// Reads the output of a child process (a popen stream) through stop points, so that a stop
// requested while the child is silent still takes effect at once: the stream's descriptor is
// switched to non-blocking mode and every wait for input happens in wait_readable_or_stop. A
// signal that interrupts a read is not the end of the output.
class stop_aware_reader {
 public:
  explicit stop_aware_reader(std::FILE* stream);

  // As fgets: at most size - 1 characters, up to and including a line feed; nullptr at the end
  // of the output or on a read error. When the child pauses in the middle of a line, the part
  // written so far comes back on its own.
  [[nodiscard]] char* gets(char* buffer, int size);
  // As fgetc: the next character, or EOF at the end of the output or on a read error.
  [[nodiscard]] int getc();
  // Whatever output is there, at most `size` bytes, straight from the descriptor (so do not mix
  // it with gets and getc on one stream): waits through stop points while there is none; 0 at
  // the end of the output, -1 on a read error.
  [[nodiscard]] long read_some(char* buffer, size_t size);

 private:
  // True when the last read failed only because no input was there yet; clears the error.
  [[nodiscard]] bool would_block();

  std::FILE* m_stream;
};

}  // namespace kv_utils_common
