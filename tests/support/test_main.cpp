// The main of every unit-test program. The first log message of a process reads (and, when it is
// missing, writes) the logger configuration under /opt/kelvanor; tests must never touch the host's
// /opt, so the configuration is pointed at a private file before any test runs.
#include "common/kv_logger.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  std::string dir = "/tmp/kvtest-logger.XXXXXX";
  if (!mkdtemp(dir.data())) return 2;
  KvLogStream::set_config_path_for_tests(dir + "/kv_logger.config");
  const int result = RUN_ALL_TESTS();
  boost::system::error_code ec;
  boost::filesystem::remove_all(dir, ec);
  return result;
}
