#include "common/terminal_input.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

using namespace kv_utils_common;

// A pseudo-terminal pair: the test plays the user on the master side.
class PseudoTerminal {
 public:
  PseudoTerminal() {
    if (::openpty(&m_master, &m_slave, nullptr, nullptr, nullptr) != 0) m_master = m_slave = -1;
  }
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;
  ~PseudoTerminal() {
    if (m_master >= 0) ::close(m_master);
    if (m_slave >= 0) ::close(m_slave);
  }
  bool ok() const { return m_master >= 0; }
  int master() const { return m_master; }
  int slave() const { return m_slave; }

  // What the terminal showed the user so far.
  std::string shown() const {
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = ::read(m_master, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
    return text;
  }

 private:
  int m_master = -1;
  int m_slave = -1;
};

bool has_flag(int fd, tcflag_t flag) {
  termios attributes{};
  ::tcgetattr(fd, &attributes);
  return (attributes.c_lflag & flag) != 0;
}

TEST(TerminalInput, EchoOffAndOnAgain) {
  PseudoTerminal terminal;
  ASSERT_TRUE(terminal.ok());
  ASSERT_TRUE(has_flag(terminal.slave(), ECHO));
  termios saved{};
  ASSERT_TRUE(echo_off(terminal.slave(), &saved));
  EXPECT_FALSE(has_flag(terminal.slave(), ECHO));
  EXPECT_TRUE(saved.c_lflag & ECHO);
  ASSERT_TRUE(echo_on(terminal.slave(), &saved));
  EXPECT_TRUE(has_flag(terminal.slave(), ECHO));
}

TEST(TerminalInput, EchoOffRefusesWhatIsNoTerminal) {
  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  termios saved{};
  EXPECT_FALSE(echo_off(pipe_ends[0], &saved));
  ::close(pipe_ends[0]);
  ::close(pipe_ends[1]);
}

// The child process below reads from the terminal as its standard input. Exit codes tell the
// parent what went wrong.
void read_secret_from(const PseudoTerminal& terminal) {
  ::alarm(10);
  ::dup2(terminal.slave(), STDIN_FILENO);
  // The user types once echo is off, as a person would after the prompt.
  std::thread user([&terminal] {
    while (has_flag(STDIN_FILENO, ECHO)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    (void)!::write(terminal.master(), "s3cret\n", 7);
  });
  std::string secret;
  get_client_secret_input(secret);
  user.join();
  if (secret != "s3cret") std::_Exit(2);
  if (!has_flag(STDIN_FILENO, ECHO)) std::_Exit(3);
  if (terminal.shown().find("s3cret") != std::string::npos) std::_Exit(4);
  std::_Exit(0);
}

TEST(TerminalInput, SecretIsReadWithoutEcho) {
  PseudoTerminal terminal;
  ASSERT_TRUE(terminal.ok());
  EXPECT_EXIT(read_secret_from(terminal), ::testing::ExitedWithCode(0), "");
}

// A key without Enter: in the terminal's line mode this read would wait for the line's end.
void read_key_from(const PseudoTerminal& terminal) {
  ::alarm(10);
  ::dup2(terminal.slave(), STDIN_FILENO);
  // The key comes once the terminal left line mode: the terminal echoes input as it arrives.
  std::thread user([&terminal] {
    while (has_flag(STDIN_FILENO, ICANON)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    (void)!::write(terminal.master(), "k", 1);
  });
  const int key = getkey();
  user.join();
  if (!has_flag(STDIN_FILENO, ICANON) || !has_flag(STDIN_FILENO, ECHO)) std::_Exit(3);
  if (terminal.shown().find('k') != std::string::npos) std::_Exit(4);
  std::_Exit(key == 'k' ? 0 : 2);
}

TEST(TerminalInput, GetKeyTakesOneKeyWithoutEnter) {
  PseudoTerminal terminal;
  ASSERT_TRUE(terminal.ok());
  EXPECT_EXIT(read_key_from(terminal), ::testing::ExitedWithCode(0), "");
}

void read_key_from_pipe() {
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) std::_Exit(5);
  ::dup2(pipe_ends[0], STDIN_FILENO);
  (void)!::write(pipe_ends[1], "q", 1);
  ::close(pipe_ends[1]);
  const int first = getkey();
  const int second = getkey();
  std::_Exit(first == 'q' && second == EOF ? 0 : 2);
}

TEST(TerminalInput, GetKeyReadsInputThatIsNoTerminal) {
  EXPECT_EXIT(read_key_from_pipe(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
