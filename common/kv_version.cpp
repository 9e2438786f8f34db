#include "common/kv_version.h"

namespace kelvanor {

const std::string version_current_string = version_current.to_string();

std::string Version::to_string() const { return std_string_from<char>(*this); }

std::wstring Version::to_wstring() const { return std_string_from<wchar_t>(*this); }

bool Version::is_accessible_from(const Version& previous) const {
  // Unsigned 32-bit arithmetic throughout: the + 1 wraps like the stored fields do.
  const uint32_t one = 1;
  if (major == previous.major && minor == previous.minor)
    return patch == previous.patch || patch == static_cast<uint32_t>(previous.patch + one);
  if (major == previous.major && minor == static_cast<uint32_t>(previous.minor + one)) return patch == 0;
  if (major == static_cast<uint32_t>(previous.major + one)) return minor == 0 && patch == 0;
  return false;
}

}  // namespace kelvanor

namespace kelvanor_common {

std::string single_quoted(std::string_view text) { return kelvanor::as_quoted_single(text); }

}  // namespace kelvanor_common
