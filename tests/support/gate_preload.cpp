// Preloaded into the real program by end-to-end tests: holds the program at one chosen step until
// the test lets it go, so that the test can act exactly there. KV_TEST_GATE names a folder: the
// gate creates "held" in it when it holds the program and waits until "go" appears there. With
// KV_TEST_GATE_TEXT the step is the first write of a text holding it (through a file stream:
// the log file's messages, not standard output); without it, the first attempt to take a write
// lock on a file.

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool g_held = false;

void hold() {
  g_held = true;
  const std::string folder = std::getenv("KV_TEST_GATE");
  ::close(::open((folder + "/held").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  while (::access((folder + "/go").c_str(), F_OK) != 0) ::usleep(10'000);
}

}  // namespace

extern "C" int fcntl(int fd, int command, ...) {
  va_list arguments;
  va_start(arguments, command);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  using fcntl_function = int (*)(int, int, ...);
  static const auto real = reinterpret_cast<fcntl_function>(::dlsym(RTLD_NEXT, "fcntl"));
  if (!g_held && std::getenv("KV_TEST_GATE") != nullptr && std::getenv("KV_TEST_GATE_TEXT") == nullptr &&
      command == F_SETLK && static_cast<flock*>(argument)->l_type == F_WRLCK)
    hold();
  return real(fd, command, argument);
}

extern "C" ssize_t write(int fd, const void* data, size_t size) {
  using write_function = ssize_t (*)(int, const void*, size_t);
  static const auto real = reinterpret_cast<write_function>(::dlsym(RTLD_NEXT, "write"));
  const char* text = std::getenv("KV_TEST_GATE_TEXT");
  if (!g_held && text != nullptr && std::getenv("KV_TEST_GATE") != nullptr &&
      ::memmem(data, size, text, std::strlen(text)) != nullptr)
    hold();
  return real(fd, data, size);
}
