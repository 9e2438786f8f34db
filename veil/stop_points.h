#pragma once

// The places where the REST client waits: every libcurl transfer (its progress callback runs
// at least once a second while a reply is awaited) and the one-second pause of the task
// polling loop. A pending stop of the program (a deferred SIGTERM, for instance) is noticed
// here, so the program never sits in a wait it cannot leave; a pending pause holds the program
// right there, a transfer included, which then goes on. The stop and the pause themselves are
// the program's (common/stop_point.h); the REST client only asks for them and reaches its stop
// points.
//
// Once a stop is under way, what is left of the run has a bounded time, whatever the controller
// does: a request waits for its reply at most the stop grace (k_stop_grace, or the request
// time-out when shorter), and waiting of any kind ends by the stop's deadline, one task poll
// bound (k_stop_budget) after the stop was first seen. The deadline ends waiting, never the
// clean-up itself: one disk whose task never ends must not keep the others from their requests.
// Past it no task is polled and no sleep goes on, but requests still go out, each waiting for
// its reply at most the late grace (k_late_grace), so that every disk still gets its requests.

#include <chrono>
#include <optional>

namespace kv_veil {

inline constexpr std::chrono::seconds k_stop_grace{30};
inline constexpr std::chrono::seconds k_stop_budget{300};
inline constexpr std::chrono::seconds k_late_grace{5};

// Asked inside libcurl's progress callback, where the stop must not run: true abandons the
// transfer under way (it fails with libcurl's "aborted by callback" error), and the request
// routine reaches stop_point() right after.
using stop_hook = bool (*)();

// nullptr restores the default hook, which asks whether the program has a stop pending. Either
// way a stop noted so far is forgotten.
void set_stop_hook(stop_hook hook) noexcept;

// True while a requested stop waits to be carried out; the stop counts as under way from then on.
[[nodiscard]] bool stop_requested() noexcept;

// The program's shutdown tells here that it carries out a stop: while it does, the program's
// stop is no longer "requested", yet its work runs in the stop's time.
void note_stop() noexcept;

// When the stop was first seen (asked for, or noted); nullopt while no stop is under way.
[[nodiscard]] std::optional<std::chrono::steady_clock::time_point> stop_seen() noexcept;

// True once a stop under way has used up its time: nothing more is waited for, and a request
// waits for its reply only the late grace.
[[nodiscard]] bool stop_time_over() noexcept;

// The stop grace in force (k_stop_grace unless a test shortened it).
[[nodiscard]] std::chrono::milliseconds stop_grace() noexcept;
// The late grace in force (k_late_grace unless a test shortened it).
[[nodiscard]] std::chrono::milliseconds late_grace() noexcept;
// When the stop under way has used up its time; nullopt while no stop is under way.
[[nodiscard]] std::optional<std::chrono::steady_clock::time_point> stop_deadline() noexcept;

// The latest moment a transfer that started at `started` waits for its reply: the stop grace
// from the later of its start and the stop, and no more than the late grace past the stop's
// deadline (or its own start, when later). nullopt while no stop is under way.
[[nodiscard]] std::optional<std::chrono::steady_clock::time_point> reply_deadline(
    std::chrono::steady_clock::time_point started) noexcept;

// Carries out what the program has pending: a stop does not return, a pause returns once the
// program is resumed; called after every transfer.
void stop_point();

// Carries out a pending pause but leaves a stop for stop_point: for libcurl's progress callback,
// whose transfer goes on after a pause.
void pause_point();

// Sleeps one second between two polls, less when a stop comes in, which is then carried out;
// false when the stop hook asked to give up.
[[nodiscard]] bool pause_one_second();

// Sleeps until `until`, or the stop's deadline when that comes first. A stop requested meanwhile
// is carried out at once, unless `hold_stop`: then the sleep goes on (for a wait whose end the
// stop's clean-up needs), the stop's clock starting at once, and a pause is still carried out.
void sleep_until(std::chrono::steady_clock::time_point until, bool hold_stop);

namespace testing {
// Replaces the one-second sleep so that long polling sequences run quickly under test;
// nullptr restores the real sleep. Never called by the program.
void set_pause_for_tests(void (*pause)()) noexcept;
// Shorter stop grace, stop budget and late grace for tests; zero restores the program's. Never
// called by the program.
void set_stop_times_for_tests(std::chrono::milliseconds grace, std::chrono::milliseconds budget,
                              std::chrono::milliseconds late_grace = {}) noexcept;
}  // namespace testing

}  // namespace kv_veil
