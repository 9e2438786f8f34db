#include "common/terminal_input.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace kv_utils_common {

bool echo_off(int fd, termios* saved) {
  if (::tcgetattr(fd, saved) != 0) return false;
  termios silent = *saved;
  silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  return ::tcsetattr(fd, TCSANOW, &silent) == 0;
}

bool echo_on(int fd, const termios* saved) { return ::tcsetattr(fd, TCSANOW, saved) == 0; }

void get_client_secret_input(std::string& secret) {
  termios saved{};
  // Input that is not a terminal has no echo to switch, and nothing to restore.
  const bool restore = echo_off(STDIN_FILENO, &saved);
  std::getline(std::cin, secret);
  std::cout << std::endl;
  if (restore) echo_on(STDIN_FILENO, &saved);
}

int getkey() {
  termios saved{};
  const bool terminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  }
  const int key = std::fgetc(stdin);
  if (terminal) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  return key;
}

}  // namespace kv_utils_common
