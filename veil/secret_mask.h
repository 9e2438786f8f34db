#pragma once

// Secrets (the API password, the login token, the Authorization header, a VM's graphics
// password) must never reach the log. Every text about a request that may be logged passes
// through mask_secrets first.

#include <string>
#include <string_view>

namespace kv_veil {

inline constexpr std::string_view k_mask = "***";

// Replaces with k_mask the secrets where they stand:
// - the string values of the members "password", "graphics_password" and "token": in JSON text,
//   in JSON text held escaped in a string (\"password\": \"...\", at any depth), and in the
//   'password': '...' form of a printed dictionary;
// - whatever follows "Authorization:" up to the end of its line;
// - the password of a URL's user information ("//user:password@host"), which may hold an
//   unencoded '/', '?' or '#'.
// A secret is never searched for as a substring: a short password would garble every URL and id
// it occurs in.
[[nodiscard]] std::string mask_secrets(std::string_view text);

}  // namespace kv_veil
