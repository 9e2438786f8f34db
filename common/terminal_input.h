#pragma once

// Reading from the terminal on standard input: secrets without echo and single key presses.

#include <termios.h>

#include <string>

namespace kv_utils_common {

// Saves the terminal's attributes into `saved` and switches echo off. False, with the terminal
// untouched, when `fd` is not a terminal.
bool echo_off(int fd, termios* saved);
// Restores attributes saved by echo_off.
bool echo_on(int fd, const termios* saved);

// Reads one line from standard input with echo off, then ends the line on standard output,
// since the user's Enter was not echoed either.
void get_client_secret_input(std::string& secret);

// One character from standard input as soon as it is typed, without echo; EOF at the end of
// input.
int getkey();

}  // namespace kv_utils_common
