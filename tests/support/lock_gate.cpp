// Preloaded into the real program by an end-to-end test: holds the program's first attempt to
// take a file lock until the test lets it go, so that the test can change the lock file in
// between. KV_TEST_LOCK_GATE names a folder: the gate creates "locking" in it when it holds the
// attempt and waits until "go" appears there.

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <string>

extern "C" int fcntl(int fd, int command, ...) {
  va_list arguments;
  va_start(arguments, command);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  using fcntl_function = int (*)(int, int, ...);
  static const auto real = reinterpret_cast<fcntl_function>(::dlsym(RTLD_NEXT, "fcntl"));
  static bool held = false;
  const char* gate = std::getenv("KV_TEST_LOCK_GATE");
  if (gate != nullptr && !held && command == F_SETLK && static_cast<flock*>(argument)->l_type == F_WRLCK) {
    held = true;
    const std::string folder = gate;
    ::close(::open((folder + "/locking").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    while (::access((folder + "/go").c_str(), F_OK) != 0) ::usleep(10'000);
  }
  return real(fd, command, argument);
}
