#pragma once

// Secrets (the API password, the login token, the Authorization header, a VM's graphics
// password) must never reach the log. Every text about a request that may be logged passes
// through mask_secrets first.

#include <string>
#include <string_view>

namespace kv_veil {

inline constexpr std::string_view k_mask = "***";

// Replaces with k_mask the secrets where they stand: the string values of the JSON members
// "password", "graphics_password" and "token"; whatever follows "Authorization:" up to the end of
// its line; and the password of a URL's user information ("//user:password@host"). A secret is
// never searched for as a substring: a short password would garble every URL and id it occurs in.
[[nodiscard]] std::string mask_secrets(std::string_view text);

}  // namespace kv_veil
