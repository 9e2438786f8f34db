#pragma once

// Every JSON text from outside (a controller's reply, a member of a saved record) is parsed here,
// with the memory the parse may take bounded. A dense reply ("[0,0,0,...]") takes twelve times its
// text once parsed, and the parser's own stack holds as much again while it builds a container:
// unbounded, a reply within the transport's bound could take gigabytes.

#include <boost/json/parse_options.hpp>
#include <boost/json/value.hpp>

#include <cstddef>
#include <string_view>

namespace kv_veil {

// As much as the largest reply text the transport accepts (curlAPI::k_max_reply_bytes): a reply
// and its parse together never take more than about twice that bound. Real replies parse into a
// few MiB.
inline constexpr size_t k_max_parsed_bytes = size_t{64} << 20;

// The one value of the text, its storage and the parser's counted together against `limit`.
// The value keeps its storage (a counting memory resource) alive for as long as it lives.
// Throws boost::system::system_error for a text that is not exactly one JSON value, and
// std::length_error once the parse would take more than `limit` bytes.
[[nodiscard]] boost::json::value parse_bounded(std::string_view text, size_t limit = k_max_parsed_bytes,
                                               const boost::json::parse_options& options = {});
// As parse_bounded, with a null value for a text that does not parse within the bound: for a
// look at a reply that its reader parses again and reports on.
[[nodiscard]] boost::json::value parse_bounded_or_null(std::string_view text) noexcept;

}  // namespace kv_veil
