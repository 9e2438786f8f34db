#pragma once

// Stop points. A signal may tell the program to stop, or to pause and go on, at any moment, but
// the work this takes (terminating the children, letting the module release what it holds,
// logging, exiting, holding still) cannot safely run inside a signal handler: the signal may
// have landed inside malloc, stdio, a log write holding its lock or libcurl. So the handler only
// records the request, and the program carries it out at its next stop point. Every wait of the program is one (the one-second pauses of polling loops,
// the reads of a child's output, libcurl transfers), so a stop takes effect within about a
// second wherever the program waits. A pause holds the program at its stop point until it is
// resumed (or a stop comes in); then the program goes on from there.
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
  // Async-signal-safe: true while anything waits to be carried out (a stop, a pause, the note
  // of a resume).
  bool (*pending)() noexcept = nullptr;
  // Carries out what waits. A pause returns once the program is resumed; a stop does not
  // return. With `with_stop` false a requested stop is left for the next stop point.
  void (*carry_out)(bool with_stop) = nullptr;
  // Becomes readable when a request comes in, so that a wait in poll wakes at once; -1 when
  // there is none.
  int wake_fd = -1;
};

// An empty control switches stop handling off.
void set_stop_control(const stop_control& control) noexcept;

// True when a stop waits to be carried out. For places where the stop must not run (a libcurl
// callback): they abandon their wait and reach a stop point right after.
[[nodiscard]] bool stop_requested() noexcept;

// True when anything waits to be carried out at the next stop point.
[[nodiscard]] bool stop_point_pending() noexcept;

// Carries out whatever waits: a pause returns once the program is resumed, a stop never
// returns. Returns at once when nothing waits.
void stop_point();

// As stop_point, but leaves a requested stop for a later stop point: for places where the stop
// must not run but the program may hold still (a libcurl callback, whose transfer goes on).
void pause_point();

// Waits for `duration`; a stop requested meanwhile ends the wait at once and is carried out, a
// pause holds the wait until the resume.
void sleep_or_stop(std::chrono::milliseconds duration);

// Waits until `fd` has input (or its end, or an error) to read; a stop requested meanwhile ends
// the wait at once and is carried out, a pause holds the wait until the resume.
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
