#include "common/log_text.h"

#include <cstdio>

namespace kelvanor_common {

std::string log_text(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    char escape[8];
    if (byte == '\n') {
      shown += "\\n";
    } else if (byte == '\r') {
      shown += "\\r";
    } else if (byte == '\t') {
      shown += "\\t";
    } else if (byte < 0x20 || byte == 0x7f) {
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      shown += escape;
    } else if (byte == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(text[++i]));
      shown += escape;
    } else {
      shown += text[i];
    }
  }
  return shown;
}

std::string_view without_final_line_breaks(std::string_view output) {
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.remove_suffix(1);
  return output;
}

bool has_control_characters(std::string_view text) { return log_text(text) != text; }

}  // namespace kelvanor_common
