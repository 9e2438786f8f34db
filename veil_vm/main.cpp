#include "common/kv_logger.h"

#include <boost/filesystem/path.hpp>

int main(int argc, char** argv) {
  const std::string program = argc > 0 ? boost::filesystem::path(argv[0]).filename().string() : "";
  const std::string log_path = "/opt/kelvanor/log/" + program + ".log";
  KvLogStream::set_default_loggers(KvDestination::File(log_path), KvDestination::Stdout());
  KvLogStream::set_log_level_logger(KvLogLvl::Error, KvDestination::File(log_path), KvDestination::Stderr());
  KvLogStream::set_global_log_level(KvLogLvl::Debug);
  KvLogStream(KvLogLvl::Error) << "int main(int, char**)" << "Wrong combination of options" << std::endl;
  return 14;
}
