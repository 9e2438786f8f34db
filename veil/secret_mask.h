#pragma once

// Secrets (the API password, the login token, the Authorization header, a VM's graphics
// password) must never reach the log. Every text about a request that may be logged passes
// through mask_secrets first, and every log line masks the secrets given to mask_everywhere.

#include <cstddef>
#include <string>
#include <string_view>

namespace kv_veil {

inline constexpr std::string_view k_mask = "***";

// Shortest secret masked wherever its text appears: a shorter one would garble every URL and id
// it occurs in.
inline constexpr size_t k_min_literal_secret = 6;

// Replaces with k_mask the secrets where they stand:
// - the string values of the members "password", "graphics_password" and "token": in JSON text,
//   in JSON text held escaped in a string (\"password\": \"...\", at any depth), and in the
//   'password': '...' form of a printed dictionary;
// - whatever follows "Authorization:" up to the end of its line;
// - the password of a URL's user information ("//user:password@host"), which may hold an
//   unencoded '/', '?' or '#'.
// A secret is not searched for as a substring here: mask_everywhere does that for the log.
[[nodiscard]] std::string mask_secrets(std::string_view text);

// What a secret given to mask_everywhere is. The configured password has one place, which the
// next configuration read takes over; login tokens are kept, the latest ones.
enum class secret_kind { password, token };

// From now on every log line written through KvLogStream masks the secret's text and its
// JSON-escaped text wherever they appear: for the rest of the process, or, for a password, until
// another password is registered. A secret shorter than k_min_literal_secret is left to the forms
// mask_secrets knows.
void mask_everywhere(std::string_view secret, secret_kind kind = secret_kind::token);

// How many texts every log line is masked for now (each secret's forms).
[[nodiscard]] size_t registered_secret_forms();

}  // namespace kv_veil
