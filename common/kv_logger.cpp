#include "common/kv_logger.h"

#include <boost/algorithm/string/replace.hpp>
#include <boost/algorithm/string/trim_all.hpp>

#include <ctime>
#include <iomanip>
#include <iostream>
#include <unistd.h>

namespace KvLogLvl {
namespace {

std::map<uint32_t, std::string> build_levels_info() {
  // The names are one text split at white space, commas dropped, paired in order with the
  // 14 levels and then the 9 masks; an existing key is never replaced.
  static const char* const k_names =
      "Error, Warning, Info, Debug, Debug1, Debug2, Debug3, Debug4, FuncBase, FuncDetail, FuncCycle, "
      "FuncAny, Measure, SqlReq, ErrorMask, WarningMask, InfoMask, DebugMask, Debug1Mask, Debug2Mask, "
      "Debug3Mask, Debug4Mask, FuncAll";
  static const uint32_t k_values[] = {Error,      Warning,    Info,       Debug,       Debug1,     Debug2,
                                      Debug3,     Debug4,     FuncBase,   FuncDetail,  FuncCycle,  FuncAny,
                                      Measure,    SqlReq,     ErrorMask,  WarningMask, InfoMask,   DebugMask,
                                      Debug1Mask, Debug2Mask, Debug3Mask, Debug4Mask,  FuncAll};
  std::map<uint32_t, std::string> info;
  std::istringstream words(k_names);
  std::string word;
  for (uint32_t value : k_values) {
    if (!(words >> word)) break;
    std::erase(word, ',');
    info.emplace(value, word);
  }
  return info;
}

}  // namespace

const std::map<uint32_t, std::string> log_levels_info_ = build_levels_info();

uint32_t get_mask(Level level) {
  static const uint32_t k_levels[] = {Error,  Warning,  Info,       Debug,     Debug1,  Debug2,  Debug3,
                                      Debug4, FuncBase, FuncDetail, FuncCycle, FuncAny, Measure, SqlReq};
  static const uint32_t k_masks[] = {ErrorMask,  WarningMask, InfoMask,   DebugMask, Debug1Mask,
                                     Debug2Mask, Debug3Mask,  Debug4Mask, FuncAll};
  for (uint32_t known : k_levels) {
    if (known != level) continue;
    for (uint32_t mask : k_masks)
      if (mask & level) return mask;
    return level;
  }
  return level;
}

std::string to_string(Level level) {
  auto it = log_levels_info_.find(level);
  return it == log_levels_info_.end() ? "Unknown" : it->second;
}

template <typename T>
bool from_string(const std::string& name, T& result) {
  for (const auto& [value, text] : log_levels_info_) {
    if (text == name) {
      result = static_cast<T>(value);
      return true;
    }
  }
  return false;
}
template bool from_string<Level>(const std::string&, Level&);

}  // namespace KvLogLvl

namespace KvDestination {

int KvLogger::write_log(const std::string& text) {
  std::lock_guard<std::mutex> guard(m_mutex);
  std::string out;
  if (m_with_timestamp) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::ostringstream stamp;
    stamp.imbue(std::locale::classic());
    stamp << "[" << std::put_time(&local, "%Y-%m-%d %X") << "] ";
    out = stamp.str();
  }
  out += text;
  return write_log_impl(out);
}

int StdoutLogger::write_log_impl(const std::string& text) {
  kv_unicout() << text;
  return 0;
}

int StderrLogger::write_log_impl(const std::string& text) {
  kv_unicerr() << text;
  return 0;
}

std::ostream& kv_unicout() { return std::cout; }
std::ostream& kv_unicerr() { return std::cerr; }

std::unique_ptr<KvLogger> Stdout() { return std::make_unique<StdoutLogger>(); }
std::unique_ptr<KvLogger> Stderr() { return std::make_unique<StderrLogger>(); }

}  // namespace KvDestination

uint32_t KvLogStream::global_log_level_ = KvLogLvl::InfoMask;
bool KvLogStream::m_logging_enabled = true;
bool KvLogStream::read_config_ = true;
std::string KvLogStream::tag_;
KvLogStream::LoggerList KvLogStream::default_loggers_;
std::map<KvLogLvl::MaskLevel, KvLogStream::LoggerList> KvLogStream::log_level_mask_default_loggers_;
std::atomic<KvLogStream::MessageFilter> KvLogStream::message_filter_{nullptr};

int KvLogStream::set_global_log_level(unsigned long level) {
  global_log_level_ = KvLogLvl::get_mask(static_cast<KvLogLvl::Level>(level));
  return 0;
}

void KvLogStream::set_message_filter(MessageFilter filter) { message_filter_.store(filter, std::memory_order_release); }

void KvLogStream::start_message() {
  if (read_config_) {
    if (!load_properties()) set_properties(KvLogLvl::Info, 1, 10);
    read_config_ = false;
  }
  if (!tag_.empty()) m_buffer << tag_ << "[" << getpid() << "] ";
  m_buffer << KvLogLvl::to_string(m_level) << ": ";
}

namespace {

const char* colour_of(KvLogLvl::Level level) {
  switch (level) {
    case KvLogLvl::Error: return "\033[1;31m";
    case KvLogLvl::Warning: return "\033[1;33m";
    case KvLogLvl::Debug: return "\033[1;97m";
    default: return nullptr;
  }
}

// Coloured levels are trimmed and every line gets its own colour and reset sequence, so a
// terminal (or a log viewer) never carries the colour over into the next line.
std::string colourise(const std::string& text, const char* colour) {
  std::string trimmed = boost::algorithm::trim_all_copy(text);
  boost::algorithm::replace_all(trimmed, "\n", std::string(" \033[0m\n") + colour);
  return colour + trimmed + " \033[0m" + "\n";
}

}  // namespace

KvLogStream::~KvLogStream() {
  if (!(global_log_level_ & m_level) || !m_logging_enabled) return;
  try {
    write_message();
  } catch (...) {
    // A message that cannot be written is dropped: logging never fails its caller.
  }
}

void KvLogStream::write_message() {
  auto first_mask = log_level_mask_default_loggers_.end();
  for (auto it = log_level_mask_default_loggers_.begin(); it != log_level_mask_default_loggers_.end(); ++it) {
    if (static_cast<uint32_t>(it->first) & m_level) {
      first_mask = it;
      break;
    }
  }
  const bool has_mask = first_mask != log_level_mask_default_loggers_.end() && !first_mask->second.empty();
  if (m_destinations.empty() && default_loggers_.empty() && !has_mask)
    m_destinations.push_back(KvDestination::Stdout());

  std::vector<LoggerList*> chosen;
  if (!m_destinations.empty()) {
    chosen.push_back(&m_destinations);
  } else if (has_mask) {
    for (auto it = first_mask; it != log_level_mask_default_loggers_.end(); ++it)
      if ((static_cast<uint32_t>(it->first) & m_level) && !it->second.empty()) chosen.push_back(&it->second);
  } else {
    chosen.push_back(&default_loggers_);
  }

  const char* colour = colour_of(m_level);
  std::string text = colour ? colourise(m_buffer.str(), colour) : m_buffer.str();
  // After the colouring: its trimming could turn a text into the very one the filter looks for.
  if (const MessageFilter filter = message_filter_.load(std::memory_order_acquire)) filter(text);
  for (LoggerList* list : chosen) {
    for (auto& destination : *list) {
      try {
        (void)destination->write_log(text);
      } catch (...) {
        // One failing destination must not keep the message from the others.
      }
    }
  }
}
