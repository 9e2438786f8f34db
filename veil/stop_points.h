#pragma once

// The places where the REST client waits: every libcurl transfer (its progress callback runs
// at least once a second while a reply is awaited) and the one-second pause of the task
// polling loop. A pending stop of the program (a deferred SIGTERM, for instance) is noticed
// here, so the program never sits in a wait it cannot leave.

namespace kv_veil {

// Asked at every stop point. It may run the pending stop itself and not return; when it
// returns true the wait under way is abandoned: a transfer fails with libcurl's "aborted by
// callback" error, a polling pause reports the interruption.
using stop_hook = bool (*)();

// nullptr restores the default hook, which never stops anything.
void set_stop_hook(stop_hook hook) noexcept;

[[nodiscard]] bool stop_requested() noexcept;

// Sleeps one second between two polls; false when the stop hook asked to give up.
[[nodiscard]] bool pause_one_second();

namespace testing {
// Replaces the one-second sleep so that long polling sequences run quickly under test;
// nullptr restores the real sleep. Never called by the program.
void set_pause_for_tests(void (*pause)()) noexcept;
}  // namespace testing

}  // namespace kv_veil
