#include "common/terminal_input.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

using namespace kv_utils_common;

bool has_flag(int fd, tcflag_t flag) {
  termios attributes{};
  ::tcgetattr(fd, &attributes);
  return (attributes.c_lflag & flag) != 0;
}

// A child process reads a secret and then a single key from a pseudo-terminal. The user types
// each only once the terminal has left the mode that would echo it; the terminal must show
// nothing of either and be back in line mode with echo afterwards. Exit codes tell what failed.
void read_from_terminal(int master, int slave) {
  ::alarm(10);
  ::dup2(slave, STDIN_FILENO);
  std::thread user([master] {
    while (has_flag(STDIN_FILENO, ECHO)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    (void)!::write(master, "s3cret\n", 7);
    while (has_flag(STDIN_FILENO, ICANON)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    (void)!::write(master, "k", 1);
  });
  std::string secret;
  get_client_secret_input(secret);
  const int key = getkey();
  user.join();
  if (secret != "s3cret" || key != 'k') std::_Exit(2);
  if (!has_flag(STDIN_FILENO, ECHO) || !has_flag(STDIN_FILENO, ICANON)) std::_Exit(3);
  ::fcntl(master, F_SETFL, O_NONBLOCK);
  char shown[64];
  std::_Exit(::read(master, shown, sizeof shown) > 0 ? 4 : 0);
}

TEST(TerminalInput, ReadsWithoutEchoAndRestoresTheTerminal) {
  int master = -1;
  int slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  EXPECT_EXIT(read_from_terminal(master, slave), ::testing::ExitedWithCode(0), "");
  ::close(master);
  ::close(slave);
}

}  // namespace
