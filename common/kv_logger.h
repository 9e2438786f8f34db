#pragma once

// Diagnostics of the whole program. One KvLogStream object is one message: it is created with a
// level, filled with <<, and written to the level's destinations when it is destroyed.
//
//   KvLogStream(KvLogLvl::Error) << sig << ": got empty auth token" << std::endl;
//
// Info lines reach standard output, where the backup client reads its protocol line by line, and
// every line goes to the log that others read: text from outside (a controller's reply, a saved
// record, a file name, an exception's text) must never start a line of its own there, nor steer
// a terminal. So only the program's own string literals and manipulators (std::endl) go into a
// message as they are; every other text, number formats aside, has its control characters
// written as escapes (kelvanor_common::log_text), whoever inserts it. A text the program composed
// itself that must keep its line breaks says so with KvLogStream::raw.

#include "common/log_text.h"

#include <boost/filesystem/path.hpp>
#include <boost/json/value.hpp>

#include <atomic>
#include <cstdint>
#include <ios>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace KvLogLvl {

enum Level : uint32_t {
  Error = 1,
  Warning = 2,
  Info = 4,
  Debug = 8,
  Debug1 = 16,
  Debug2 = 32,
  Debug3 = 64,
  Debug4 = 128,
  FuncBase = 256,
  FuncDetail = 512,
  FuncCycle = 1024,
  FuncAny = 2048,
  Measure = 0x10000,
  SqlReq = 0x20000,
};

// Each mask is a level together with every more severe one.
enum MaskLevel : uint32_t {
  ErrorMask = 1,
  WarningMask = 3,
  InfoMask = 7,
  DebugMask = 15,
  Debug1Mask = 31,
  Debug2Mask = 63,
  Debug3Mask = 127,
  Debug4Mask = 255,
  FuncAll = 0xF00,
};

// Numeric value (level or mask) -> name; 22 entries (value 1 keeps the name "Error").
extern const std::map<uint32_t, std::string> log_levels_info_;

uint32_t get_mask(Level level);
std::string to_string(Level level);

template <typename T>
bool from_string(const std::string& name, T& result);

}  // namespace KvLogLvl

namespace KvDestination {

class KvLogger {
 public:
  KvLogger() = default;
  KvLogger(const KvLogger&) = delete;
  KvLogger& operator=(const KvLogger&) = delete;
  virtual ~KvLogger() = default;

  // Prefixes the local time and hands the text to write_log_impl under the destination's mutex.
  int write_log(const std::string& text);

 protected:
  virtual int write_log_impl(const std::string& text) = 0;

 private:
  std::mutex m_mutex;
  bool m_with_timestamp = true;
};

class StdoutLogger : public KvLogger {
 protected:
  int write_log_impl(const std::string& text) override;
};

class StderrLogger : public KvLogger {
 protected:
  int write_log_impl(const std::string& text) override;
};

std::ostream& kv_unicout();
std::ostream& kv_unicerr();

std::unique_ptr<KvLogger> Stdout();
std::unique_ptr<KvLogger> Stderr();
std::unique_ptr<KvLogger> File(const std::string& path);

}  // namespace KvDestination

namespace kv_log_detail {

// An array of const char: a string literal, or a constant text of the program.
template <typename T>
concept literal = std::is_array_v<std::remove_reference_t<T>> &&
                  std::is_same_v<std::remove_extent_t<std::remove_reference_t<T>>, const char>;

template <typename T>
concept character = std::is_same_v<std::remove_cvref_t<T>, char> ||
                    std::is_same_v<std::remove_cvref_t<T>, signed char> ||
                    std::is_same_v<std::remove_cvref_t<T>, unsigned char>;

}  // namespace kv_log_detail

class KvLogStream {
 public:
  using LoggerPtr = std::unique_ptr<KvDestination::KvLogger>;
  using LoggerList = std::vector<LoggerPtr>;

  // Where load_properties reads and set_properties writes the logger configuration.
  static constexpr const char* k_config_path = "/opt/kelvanor/etc/kv_logger.config";

  // Text inserted as it is, line breaks and control characters included (see above).
  struct raw_text {
    std::string_view text;
  };
  [[nodiscard]] static raw_text raw(std::string_view text) { return raw_text{text}; }

  template <typename... Dest>
  explicit KvLogStream(KvLogLvl::Level level, Dest&&... destinations) : m_level(level) {
    (m_destinations.push_back(std::forward<Dest>(destinations)), ...);
    start_message();
  }
  KvLogStream(const KvLogStream&) = delete;
  KvLogStream& operator=(const KvLogStream&) = delete;
  // Writes the message; never throws.
  ~KvLogStream();

  template <typename T>
  KvLogStream& operator<<(T&& value) {
    insert(std::forward<T>(value));
    return *this;
  }
  KvLogStream& operator<<(std::ostream& (*manipulator)(std::ostream&)) {
    manipulator(m_buffer);
    return *this;
  }
  // Format flags such as std::hex live in this message's buffer, so they end with the message.
  KvLogStream& operator<<(std::ios_base& (*manipulator)(std::ios_base&)) {
    manipulator(m_buffer);
    return *this;
  }

  template <typename... Dest>
  static void set_default_loggers(Dest&&... destinations) {
    default_loggers_.clear();
    (default_loggers_.push_back(std::forward<Dest>(destinations)), ...);
  }

  template <typename... Dest>
  static void set_log_level_logger(KvLogLvl::Level key, Dest&&... destinations) {
    LoggerList list;
    (list.push_back(std::forward<Dest>(destinations)), ...);
    log_level_mask_default_loggers_[static_cast<KvLogLvl::MaskLevel>(key)] = std::move(list);
  }

  static int set_global_log_level(unsigned long level);

  // Edits every written message, once, before it goes to its destinations (the program masks its
  // secrets with it). One for the process; without one a message costs a single atomic load more.
  using MessageFilter = void (*)(std::string& text);
  static void set_message_filter(MessageFilter filter);

  // The logger configuration file (kv_logger_config.cpp). load_properties is true when the level,
  // the size limit and the rotation count were all applied.
  static bool load_properties();
  static void set_properties(KvLogLvl::Level level, unsigned long max_size_mb, unsigned long max_rotate);

  // Tests point the configuration file into their own directory; the program never calls this.
  static void set_config_path_for_tests(const std::string& path);
  static const std::string& config_path();

  // Class-wide settings; single-threaded program, set once at start-up.
  static uint32_t global_log_level_;
  static bool m_logging_enabled;
  static bool read_config_;
  static std::string tag_;
  static LoggerList default_loggers_;
  static std::map<KvLogLvl::MaskLevel, LoggerList> log_level_mask_default_loggers_;

 private:
  void start_message();
  void write_message();

  // Atomic: a signal handler's message may read it while it is being set.
  static std::atomic<MessageFilter> message_filter_;

  // Texts end at their first NUL, as they would through c_str(): a std::string holding a NUL is
  // cut there.
  static std::string_view up_to_nul(std::string_view text) { return text.substr(0, text.find('\0')); }
  void insert_escaped(std::string_view text) { m_buffer << kelvanor_common::log_text(up_to_nul(text)); }

  // A string literal (an array of const char) is the program's own text: as it is.
  template <typename T>
    requires kv_log_detail::literal<T>
  void insert(T&& literal) {
    m_buffer << up_to_nul(std::string_view(literal, std::extent_v<std::remove_reference_t<T>>));
  }
  void insert(raw_text text) { m_buffer << up_to_nul(text.text); }
  // Any other text may have come from outside, a pointer or a filled char buffer included.
  template <typename T>
    requires std::is_convertible_v<T, std::string_view> && (!kv_log_detail::literal<T>)
  void insert(T&& text) {
    if constexpr (std::is_pointer_v<std::remove_cvref_t<T>>) {
      if (text == nullptr) return;
    }
    insert_escaped(std::string_view(text));
  }
  void insert(const std::stringstream& stream) { insert_escaped(stream.str()); }
  // A single character may be a byte of outside text as well.
  template <typename T>
    requires kv_log_detail::character<T>
  void insert(T&& character) {
    insert_escaped(std::string_view(reinterpret_cast<const char*>(&character), 1));
  }
  // Numbers in the buffer's current base.
  template <typename T>
    requires std::is_arithmetic_v<std::remove_cvref_t<T>> && (!kv_log_detail::character<T>)
  void insert(T&& number) {
    m_buffer << number;
  }
  // Anything else (boost::json::value as compact JSON, boost::filesystem::path quoted with '&' as
  // escape, ...) through its own stream inserter, in this message's format, then escaped.
  template <typename T>
    requires(!std::is_convertible_v<T, std::string_view> && !std::is_arithmetic_v<std::remove_cvref_t<T>> &&
             !std::is_same_v<std::remove_cvref_t<T>, raw_text> &&
             !std::is_base_of_v<std::stringstream, std::remove_cvref_t<T>> &&
             requires(std::ostream& out, T&& value) { out << value; })
  void insert(T&& value) {
    std::ostringstream piece;
    piece.copyfmt(m_buffer);
    piece << value;
    // The text as the inserter wrote it, NULs included: no text of outside can end it early.
    m_buffer << kelvanor_common::log_text(piece.str());
  }

  std::stringstream m_buffer;
  KvLogLvl::Level m_level;
  LoggerList m_destinations;
};
