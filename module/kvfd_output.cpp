#include "module/kvfd_output.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace kelvanor::module {

namespace {

constexpr std::string_view k_pid_prefix = "KVFD PID: ";
constexpr std::array<std::string_view, 3> k_progress_prefixes = {"Packed: ", "Unpacked: ", "Transferred: "};

// The conversion of std::stoi: leading white space skipped, an optional sign, decimal digits up to
// the first other character; no digits, or a number beyond int, is no pid.
bool parse_pid(std::string_view text, pid_t& pid) {
  const size_t start = text.find_first_not_of(" \t\n\v\f\r");
  if (start == std::string_view::npos) return false;
  text.remove_prefix(start);
  const bool negative = text.front() == '-';
  if (negative || text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() < '0' || text.front() > '9') return false;
  pid_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (error != std::errc() || negative || value <= 0) return false;
  pid = value;
  return true;
}

}  // namespace

void kvfd_line_splitter::feed(std::string_view piece) {
  m_piece = piece;
  m_carriage_return = m_piece.find('\r');
}

std::optional<std::string_view> kvfd_line_splitter::next() {
  if (m_complete) {
    m_begun.clear();
    m_complete = false;
  }
  // Carriage returns are rare, so the piece is searched for the next one only after passing it.
  const size_t end = std::min(m_piece.find('\n'), m_carriage_return);
  if (end == std::string_view::npos) {
    m_begun.append(m_piece);
    m_piece = {};
    return std::nullopt;
  }
  const std::string_view line = m_piece.substr(0, end);
  m_piece.remove_prefix(end + 1);
  if (m_carriage_return != std::string_view::npos)
    m_carriage_return = m_carriage_return == end ? m_piece.find('\r') : m_carriage_return - end - 1;
  if (m_begun.empty()) return line;
  m_begun.append(line);
  m_complete = true;
  return m_begun;
}

kvfd_line classify_kvfd_line(std::string_view line) {
  kvfd_line result;
  if (line.starts_with(k_pid_prefix)) {
    result.rest = line.substr(k_pid_prefix.size());
    result.kind = parse_pid(result.rest, result.pid) ? kvfd_line_kind::pid : kvfd_line_kind::bad_pid;
    return result;
  }
  for (std::string_view prefix : k_progress_prefixes) {
    if (line.starts_with(prefix)) {
      result.kind = kvfd_line_kind::progress;
      result.rest = line.substr(prefix.size());
      return result;
    }
  }
  return result;
}

}  // namespace kelvanor::module
