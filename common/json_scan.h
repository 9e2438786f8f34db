#pragma once

// A JSON text read character by character without parsing it, for the checks that look at its
// structure before a parser sees it (its nesting, its members): which characters stand outside
// every string.

namespace kelvanor_common {

class JsonStringTracker {
 public:
  // True when `c`, the next character of the text, stands outside every string; a quote that
  // opens or closes a string counts as inside. A backslash in a string escapes the character
  // after it.
  [[nodiscard]] bool outside_strings(char c) {
    if (m_in_string) {
      if (m_escaped)
        m_escaped = false;
      else if (c == '\\')
        m_escaped = true;
      else if (c == '"')
        m_in_string = false;
      return false;
    }
    if (c == '"') {
      m_in_string = true;
      return false;
    }
    return true;
  }

 private:
  bool m_in_string = false;
  bool m_escaped = false;
};

}  // namespace kelvanor_common
