#pragma once

// Test helpers of the module framework: a fixture that captures the log and the standard
// streams and gives each test its own directory, a command-line builder, and a concrete module
// whose hooks return configurable results and record their calls.

#include "common/kv_logger.h"
#include "module/kv_modules_common.h"

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <iostream>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace module_test {

inline const std::string k_program = "/some/dir/kv_module_fake";

// A log destination that keeps each message as "Level: text", without time stamp and colours.
class RecordingLogger : public KvDestination::KvLogger {
 public:
  explicit RecordingLogger(std::vector<std::string>& sink) : m_sink(sink) {}

 protected:
  int write_log_impl(const std::string& text) override {
    static const std::regex k_stamp(R"(^\[[^\]]*\] )");
    static const std::regex k_colour("\033\\[[0-9;]*m");
    std::string clean = std::regex_replace(std::regex_replace(text, k_stamp, ""), k_colour, "");
    while (!clean.empty() && (clean.back() == '\n' || clean.back() == ' ')) clean.pop_back();
    m_sink.push_back(clean);
    return 0;
  }

 private:
  std::vector<std::string>& m_sink;
};

// Builds an argument vector with the program path first.
class Args {
 public:
  Args(std::initializer_list<std::string> words) : m_words{k_program} {
    m_words.insert(m_words.end(), words.begin(), words.end());
  }
  explicit Args(const std::vector<std::string>& words) : m_words{k_program} {
    m_words.insert(m_words.end(), words.begin(), words.end());
  }
  int argc() const { return static_cast<int>(m_words.size()); }
  char** argv() {
    m_pointers.clear();
    for (auto& word : m_words) m_pointers.push_back(word.data());
    m_pointers.push_back(nullptr);
    return m_pointers.data();
  }

 private:
  std::vector<std::string> m_words;
  std::vector<char*> m_pointers;
};

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The first message would otherwise read the logger configuration under /opt.
    KvLogStream::read_config_ = false;
    KvLogStream::global_log_level_ = 0xFFFFFFFFu;
    KvLogStream::log_level_mask_default_loggers_.clear();
    KvLogStream::set_default_loggers(std::make_unique<RecordingLogger>(m_log));
    m_saved_out = std::cout.rdbuf(m_out.rdbuf());
    m_saved_err = std::cerr.rdbuf(m_err.rdbuf());

    std::string pattern = (boost::filesystem::temp_directory_path() / "kv_module_test.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_dir = pattern;
  }

  void TearDown() override {
    std::cout.rdbuf(m_saved_out);
    std::cerr.rdbuf(m_saved_err);
    KvLogStream::default_loggers_.clear();
    if (HasFailure()) {
      std::cout << "test directory kept: " << m_dir << "\nlog:\n";
      for (const auto& line : m_log) std::cout << "  " << line << "\n";
      std::cout << "stdout:\n" << m_out.str() << "\n";
    } else {
      boost::system::error_code ignored;
      boost::filesystem::remove_all(m_dir, ignored);
    }
  }

  const std::vector<std::string>& log() const { return m_log; }
  std::vector<std::string> log_at(const std::string& level) const {
    std::vector<std::string> lines;
    for (const auto& line : m_log)
      if (line.rfind(level + ": ", 0) == 0) lines.push_back(line.substr(level.size() + 2));
    return lines;
  }
  std::vector<std::string> errors() const { return log_at("Error"); }
  std::vector<std::string> warnings() const { return log_at("Warning"); }
  std::string out() const { return m_out.str(); }
  const std::string& dir() const { return m_dir; }

 private:
  std::vector<std::string> m_log;
  std::ostringstream m_out;
  std::ostringstream m_err;
  std::streambuf* m_saved_out = nullptr;
  std::streambuf* m_saved_err = nullptr;
  std::string m_dir;
};

// A concrete module for the framework's tests.
class FakeModule : public KvModuleUniversal {
 public:
  struct Results {
    bool prepare = true;
    bool release = true;
    bool load_config = true;
    int check_client = 0;
    int list_header_labels = 0;
    int list_all_resources = 0;
    int list_all_resources_with_header_labels = 0;
    bool resource_exists = true;
    bool before_restore = true;
    bool after_restore = true;
    bool after_restore_last_file = true;
    bool deployment = true;
    // Framework operations that the fake replaces only when a result is given.
    std::optional<int> define_restore_directory;
    std::optional<bool> verify_in_client_defined_storage;
  };

  explicit FakeModule(const KvModuleOptions& options = {}) : KvModuleUniversal(options) {}

  Results results;
  std::vector<std::string> calls;
  std::string throw_in;                 // the hook that runs `thrower` instead of answering
  std::function<void()> thrower;
  std::map<std::string, std::string> params_seen_by_custom_hook;

  bool prepare_resource_before_backup(const bool& replica) override {
    record(replica ? "prepare(replica)" : "prepare");
    return results.prepare;
  }
  bool release_resource_after_backup() override {
    record("release");
    return results.release;
  }
  bool load_module_config() override {
    record("load_module_config");
    return results.load_config;
  }
  void usage_custom() override { record("usage_custom"); }
  int check_client(const bool& print_version) override {
    record(print_version ? "check_client(true)" : "check_client(false)");
    return results.check_client;
  }
  std::string get_full_module_version() override { return "2.1.0.test"; }
  int list_header_labels() override {
    record("list_header_labels");
    return results.list_header_labels;
  }
  int list_all_resources() override {
    record("list_all_resources");
    return results.list_all_resources;
  }
  int list_all_resources_with_header_labels() override {
    record("list_all_resources_with_header_labels");
    return results.list_all_resources_with_header_labels;
  }
  bool resource_exists() override {
    record("resource_exists");
    return results.resource_exists;
  }
  bool before_restore() override {
    record("before_restore");
    return results.before_restore;
  }
  bool after_restore() override {
    record("after_restore");
    return results.after_restore;
  }
  bool after_restore_last_file() override {
    record("after_restore_last_file");
    return results.after_restore_last_file;
  }
  bool deployment(const bool& replica) override {
    record(replica ? "deployment(replica)" : "deployment");
    return results.deployment;
  }
  void autonomous_options() override { record("autonomous_options"); }
  void make_archiving() override { record("make_archiving"); }

  int define_restore_directory() override {
    record("define_restore_directory");
    return results.define_restore_directory ? *results.define_restore_directory
                                            : KvModuleUniversal::define_restore_directory();
  }
  bool verify_in_client_defined_storage() override {
    record("verify_in_client_defined_storage");
    return results.verify_in_client_defined_storage ? *results.verify_in_client_defined_storage
                                                    : KvModuleUniversal::verify_in_client_defined_storage();
  }
  void close_restore() override {
    record("close_restore");
    KvModuleUniversal::close_restore();
  }
  void load_custom_module_parameters() override {
    record("load_custom_module_parameters");
    params_seen_by_custom_hook = special_params;
  }

  using KvModuleUniversal::backup_succeeded;
  using KvModuleUniversal::client_defined_storages;
  using KvModuleUniversal::data_incomplete;
  using KvModuleUniversal::file_list;
  using KvModuleUniversal::ignore_errors_snapshot;
  using KvModuleUniversal::kvd_block_size;
  using KvModuleUniversal::kvd_hash_algorithm;
  using KvModuleUniversal::kvd_hash_length;
  using KvModuleUniversal::kvfd_flags;
  using KvModuleUniversal::kvfd_list_extra;
  using KvModuleUniversal::kvfd_pid;
  using KvModuleUniversal::last;
  using KvModuleUniversal::numeric_owner;
  using KvModuleUniversal::options_;
  using KvModuleUniversal::paused;
  using KvModuleUniversal::reference_snapshot_directory;
  using KvModuleUniversal::remove_tmp_dir;
  using KvModuleUniversal::restore_directory;
  using KvModuleUniversal::script_before_snapshot_;
  using KvModuleUniversal::script_error_snapshot_;
  using KvModuleUniversal::selected_storage_id;
  using KvModuleUniversal::selected_storage_type;
  using KvModuleUniversal::shutdown_requested;
  using KvModuleUniversal::snapshot_size;
  using KvModuleUniversal::snapshot_type;
  using KvModuleUniversal::special_params;
  using KvModuleUniversal::tmp_catalog;
  using KvModuleUniversal::use_snapshot;
  using KvModuleUniversal::without_deployment_restore;

 private:
  void record(const std::string& call) {
    calls.push_back(call);
    if (call == throw_in && thrower) thrower();
  }
};

}  // namespace module_test
