#include "module/common_bridge.h"

namespace kelvanor::module {

std::string quoted(const std::string& text) {
  std::string result;
  result.reserve(text.size() + 2);
  result += '"';
  for (char c : text) {
    if (c == '"' || c == '\\') result += '\\';
    result += c;
  }
  result += '"';
  return result;
}

void write_framework_version(std::ostream& out) { out << "2.1.0"; }

}  // namespace kelvanor::module
