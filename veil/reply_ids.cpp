#include "veil/reply_ids.h"

#include "common/kv_logger.h"

#include <algorithm>

namespace kv_veil {

bool is_usable_id(std::string_view id) {
  // "." and ".." would be dot segments of the URL path, which libcurl removes with the segment
  // before them: the request would go to another resource.
  if (id == "." || id == "..") return false;
  constexpr std::string_view k_refused = "/?#%\"'\\";
  return std::all_of(id.begin(), id.end(), [&](char c) {
    // Beyond ASCII an id would go unencoded into a URL, and UTF-8 holds control characters too.
    const auto byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte < 0x7f && k_refused.find(c) == std::string_view::npos;
  });
}

bool check_reply_id(std::string_view sig, std::string_view what, std::string_view id) {
  if (is_usable_id(id)) return true;
  KvLogStream(KvLogLvl::Error) << sig << ": the reply holds an unusable " << what << ": '"
                               << id << "'" << std::endl;
  return false;
}

}  // namespace kv_veil
