#include "common/kv_logger.h"

#include "common/config_file.h"
#include "common/kv_file_logger.h"
#include "common/kv_version.h"

#include <boost/algorithm/string/trim_all.hpp>

#include <cinttypes>
#include <filesystem>
#include <iostream>

namespace {

std::string& configured_path() {
  static std::string path = KvLogStream::k_config_path;
  return path;
}

// Base 10 with leading blanks skipped; stops at the first non-digit, no digits give 0.
unsigned long to_number(const std::string& text) {
  return static_cast<unsigned long>(std::strtoumax(text.c_str(), nullptr, 10));
}

}  // namespace

void KvLogStream::set_config_path_for_tests(const std::string& path) { configured_path() = path; }

const std::string& KvLogStream::config_path() { return configured_path(); }

bool KvLogStream::load_properties() {
  try {
    // A directory opens like a file and reads as an empty one; it is no configuration either.
    std::error_code not_checked;
    if (std::filesystem::is_directory(config_path(), not_checked))
      throw kv_config::WrongConfigException("Can't open file " + kelvanor_common::single_quoted(config_path()));
    const kv_config::ConfigFile config(config_path());
    // All three must be present before any of them is applied.
    const std::string level_name = config["log_level"];
    const std::string max_size = config["log_file_max_size"];
    const std::string max_rotate = config["log_file_max_rotate"];

    KvLogLvl::Level level = KvLogLvl::Info;
    (void)KvLogLvl::from_string(boost::algorithm::trim_all_copy(level_name), level);
    global_log_level_ = KvLogLvl::get_mask(level);
    KvDestination::FileLogger::set_max_size(to_number(max_size));
    KvDestination::FileLogger::set_max_rotate(to_number(max_rotate));
    return true;
  } catch (const kv_config::VariableAbsentException& e) {
    std::cerr << "Warning: KvLogStream config variable is absent: " << e.what() << std::endl;
  } catch (const kv_config::WrongConfigException& e) {
    std::cerr << "Warning: KvLogStream config file is absent: " << e.what() << std::endl;
  }
  return false;
}

void KvLogStream::set_properties(KvLogLvl::Level level, unsigned long max_size_mb, unsigned long max_rotate) {
  global_log_level_ = KvLogLvl::get_mask(level);
  KvDestination::FileLogger::set_max_size(max_size_mb);
  KvDestination::FileLogger::set_max_rotate(max_rotate);

  kv_config::ConfigFile config;
  config.addComment("Logging level: Error, Warning, Info, Debug, Debug1, Debug2, Debug3, Debug4");
  config.addVariable("log_level", KvLogLvl::to_string(level));
  config.addComment("Maximum size of log file in Mb");
  config.addVariable("log_file_max_size", std::to_string(max_size_mb));
  config.addComment("Number of stored log file rotations, log file itself is not included");
  config.addVariable("log_file_max_rotate", std::to_string(max_rotate));
  // Without a writable configuration directory the defaults still hold for this run.
  (void)config.save(config_path());
}
