// The VeiL VM backup module: one process per operation of the backup client.

#include "common/kv_logger.h"
#include "veil_vm/kv_module_veil_vm.h"

#include <boost/filesystem/path.hpp>

#include <string>

int main(int argc, char** argv) {
  const std::string program = argc > 0 ? boost::filesystem::path(argv[0]).filename().string() : "";
  const std::string log_path = "/opt/kelvanor/log/" + program + ".log";

  // Errors go to the log file and standard error; every other level to the log file and standard
  // output. The first message replaces the start-up level with the logger configuration's.
  KvLogStream::set_default_loggers(KvDestination::File(log_path), KvDestination::Stdout());
  KvLogStream::set_log_level_logger(KvLogLvl::Error, KvDestination::File(log_path), KvDestination::Stderr());
  KvLogStream::set_global_log_level(KvLogLvl::Debug);

  KvModuleOptions options;
  options.incremental_supported = true;
  options.differential_supported = true;
  options.dedup_supported = true;
  options.archiving_supported = true;
  options.autonomous_supported = false;
  options.one_resource_at_a_time = true;
  options.restriction_list_path = "/opt/kelvanor/etc/kelvanor_restriction.list.veil_vm";

  KvModuleVeilVM module(options);
  if (!module.init(argc, argv)) {
    KvLogStream(KvLogLvl::Error) << "int main(int, char**)" << "Wrong combination of options" << std::endl;
    return 14;
  }
  return static_cast<int>(module.run());
}
