#pragma once

// Ids that the controller's replies name (tasks, VMs, vdisks, datapools...) go back into request
// URLs, into log lines (Info lines reach standard output, where the backup client reads its
// protocol) and into the names of saved files. An id that could change any of these is refused
// where the reply is read.

#include <string_view>

namespace kv_veil {

// Whether the id may stand as it is in a URL path, a log line and a file name: printable ASCII
// without a blank, '/', '?', '#', '%', a quote or a backslash, and neither "." nor "..". The
// controller's ids are UUIDs and short names. The empty id passes: each reader judges a missing
// id itself.
[[nodiscard]] bool is_usable_id(std::string_view id);

// True for a usable id; otherwise logs sig + ": the reply holds an unusable " + what + ": '" +
// the id (control characters escaped) + "'" at error level and returns false.
[[nodiscard]] bool check_reply_id(std::string_view sig, std::string_view what, std::string_view id);

}  // namespace kv_veil
