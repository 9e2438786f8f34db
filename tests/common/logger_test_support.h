#pragma once

// Test doubles and state guards for the log stream: destinations that record what they are given,
// capture of the process's standard streams, and a guard that gives each test a clean logger set-up
// with the logger configuration in the test's own directory.

#include "common/kv_file_logger.h"
#include "common/kv_logger.h"

#include "tests/common/common_test_helpers.h"

#include <iostream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace kv_common_test {

// What the destinations of one test received, in order: "name|text" with the timestamp removed.
using Journal = std::shared_ptr<std::vector<std::string>>;

inline Journal make_journal() { return std::make_shared<std::vector<std::string>>(); }

// The text without the timestamp write_log puts before it.
inline std::string without_timestamp(const std::string& text) {
  static const std::regex prefix(R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] )");
  std::smatch match;
  return std::regex_search(text, match, prefix) ? match.suffix().str() : "NO TIMESTAMP:" + text;
}

class RecordingLogger : public KvDestination::KvLogger {
 public:
  RecordingLogger(Journal journal, std::string name) : m_journal(std::move(journal)), m_name(std::move(name)) {}

 protected:
  int write_log_impl(const std::string& text) override {
    m_journal->push_back(m_name + "|" + without_timestamp(text));
    return 0;
  }

 private:
  Journal m_journal;
  std::string m_name;
};

inline std::unique_ptr<KvDestination::KvLogger> recorder(const Journal& journal, const std::string& name) {
  return std::make_unique<RecordingLogger>(journal, name);
}

// Redirects a standard stream into a string for the lifetime of the object.
class StreamCapture {
 public:
  explicit StreamCapture(std::ostream& stream) : m_stream(stream), m_saved(stream.rdbuf(m_text.rdbuf())) {}
  StreamCapture(const StreamCapture&) = delete;
  StreamCapture& operator=(const StreamCapture&) = delete;
  ~StreamCapture() { m_stream.rdbuf(m_saved); }

  std::string text() const { return m_text.str(); }

 private:
  std::ostream& m_stream;
  std::ostringstream m_text;
  std::streambuf* m_saved;
};

// Clean class-wide logger state for one test, restored afterwards. The configuration is taken as
// already read unless the test asks for the first-message load.
class LoggerStateGuard {
 public:
  explicit LoggerStateGuard(const TempDir& dir)
      : m_global(KvLogStream::global_log_level_),
        m_read_config(KvLogStream::read_config_),
        m_enabled(KvLogStream::m_logging_enabled),
        m_tag(KvLogStream::tag_),
        m_max_size(KvDestination::FileLogger::max_size_),
        m_max_rotate(KvDestination::FileLogger::max_rotate_),
        m_config_path(KvLogStream::config_path()) {
    clear_destinations();
    KvLogStream::global_log_level_ = KvLogLvl::InfoMask;
    KvLogStream::read_config_ = false;
    KvLogStream::m_logging_enabled = true;
    KvLogStream::tag_.clear();
    KvLogStream::set_config_path_for_tests(dir.file("kv_logger.config"));
  }
  LoggerStateGuard(const LoggerStateGuard&) = delete;
  LoggerStateGuard& operator=(const LoggerStateGuard&) = delete;
  ~LoggerStateGuard() {
    clear_destinations();
    KvLogStream::global_log_level_ = m_global;
    KvLogStream::read_config_ = m_read_config;
    KvLogStream::m_logging_enabled = m_enabled;
    KvLogStream::tag_ = m_tag;
    KvDestination::FileLogger::max_size_ = m_max_size;
    KvDestination::FileLogger::max_rotate_ = m_max_rotate;
    KvLogStream::set_config_path_for_tests(m_config_path);
  }

 private:
  static void clear_destinations() {
    KvLogStream::default_loggers_.clear();
    KvLogStream::log_level_mask_default_loggers_.clear();
  }

  uint32_t m_global;
  bool m_read_config;
  bool m_enabled;
  std::string m_tag;
  uint64_t m_max_size;
  uint64_t m_max_rotate;
  std::string m_config_path;
};

}  // namespace kv_common_test
