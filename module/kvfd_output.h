#pragma once

// The data mover's output as the framework reads it: cut into lines, and each line sorted into
// what the backup client sees (the data mover's pid and its progress) and what is only kept for
// an error report.

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace kelvanor::module {

// Cuts the output, piece by piece as it is read, into lines. A line ends at a line feed or at a
// carriage return, so a carriage return followed by a line feed also ends an empty line between
// them. Characters after the last line end are never handed out: an unterminated last line is
// dropped.
class kvfd_line_splitter {
 public:
  // The next piece of output; it must stay in place until next() has answered nothing.
  void feed(std::string_view piece);
  // The next line the pieces fed so far end, without its end, valid until the next call; nothing
  // once the last piece holds no further line end (its rest waits for the next piece).
  [[nodiscard]] std::optional<std::string_view> next();

 private:
  std::string_view m_piece;
  size_t m_carriage_return = std::string_view::npos;  // of m_piece; npos: none left
  std::string m_begun;      // the start of a line that an earlier piece did not end
  bool m_complete = false;  // m_begun holds a line already handed out
};

enum class kvfd_line_kind {
  pid,       // "KVFD PID: " and the data mover's pid: relayed, the pid kept
  progress,  // "Packed: ", "Unpacked: " or "Transferred: ": relayed, the rest kept as statistics
  bad_pid,   // "KVFD PID: " without a usable pid
  other,     // anything else, empty lines included: kept for the error report
};

struct kvfd_line {
  kvfd_line_kind kind = kvfd_line_kind::other;
  pid_t pid = 0;           // the pid of a pid line
  std::string_view rest;   // the text after the prefix of a pid or progress line
};

// Sorts one line (without its end). The pid is the decimal number that begins the rest (blanks
// before it and text after it are allowed); it must be positive: the signal handling sends
// signals to it, and 0 or a negative number would reach a whole process group.
[[nodiscard]] kvfd_line classify_kvfd_line(std::string_view line);

}  // namespace kelvanor::module
