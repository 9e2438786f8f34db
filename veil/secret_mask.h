#pragma once

// Secrets (the API password, the login token, the Authorization header, a VM's graphics
// password) must never reach the log. Every text about a request that may be logged passes
// through mask_secrets first.

#include <initializer_list>
#include <string>
#include <string_view>

namespace kv_veil {

inline constexpr std::string_view k_mask = "***";

// Replaces with k_mask: the string values of the JSON members "password", "graphics_password"
// and "token"; whatever follows "Authorization:" up to the end of its line; and every
// occurrence of each non-empty known secret, as it is and in its JSON-escaped form.
[[nodiscard]] std::string mask_secrets(std::string_view text, std::initializer_list<std::string_view> known_secrets = {});

}  // namespace kv_veil
