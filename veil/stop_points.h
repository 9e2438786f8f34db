#pragma once

// The places where the REST client waits: every libcurl transfer (its progress callback runs
// at least once a second while a reply is awaited) and the one-second pause of the task
// polling loop. A pending stop of the program (a deferred SIGTERM, for instance) is noticed
// here, so the program never sits in a wait it cannot leave; a pending pause holds the program
// right there, a transfer included, which then goes on. The stop and the pause themselves are
// the program's (common/stop_point.h); the REST client only asks for them and reaches its stop
// points.

namespace kv_veil {

// Asked inside libcurl's progress callback, where the stop must not run: true abandons the
// transfer under way (it fails with libcurl's "aborted by callback" error), and the request
// routine reaches stop_point() right after.
using stop_hook = bool (*)();

// nullptr restores the default hook, which asks whether the program has a stop pending.
void set_stop_hook(stop_hook hook) noexcept;

[[nodiscard]] bool stop_requested() noexcept;

// Carries out what the program has pending: a stop does not return, a pause returns once the
// program is resumed; called after every transfer.
void stop_point();

// Carries out a pending pause but leaves a stop for stop_point: for libcurl's progress callback,
// whose transfer goes on after a pause.
void pause_point();

// Sleeps one second between two polls, less when a stop comes in, which is then carried out;
// false when the stop hook asked to give up.
[[nodiscard]] bool pause_one_second();

namespace testing {
// Replaces the one-second sleep so that long polling sequences run quickly under test;
// nullptr restores the real sleep. Never called by the program.
void set_pause_for_tests(void (*pause)()) noexcept;
}  // namespace testing

}  // namespace kv_veil
