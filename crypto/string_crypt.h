#pragma once

// Encryption of short strings with a key bound to the host: what one host encrypts only the same
// host can decrypt. There is no integrity check: a wrong key or altered text gives other bytes,
// not an error.

#include <string>

namespace kv_utils_common::server {

// The fixed pass phrase of the program's ciphers. Only its first two bytes are used, as the IV
// of the counter mode; the task files of client-defined storages are enciphered with the same
// IV, so both readers must take it from here.
inline constexpr const char k_pass_phrase[] = "Kv7#qR2!mZ9@xL4";
inline constexpr std::size_t k_pass_phrase_iv_length = 2;

// Pads `text` with 1 to 16 NUL bytes to a whole number of cipher blocks, encrypts it and
// replaces it by the ciphertext in lower-case hexadecimal.
void encrypt_string(std::string& text);
// The inverse of encrypt_string: the decrypted bytes up to the first NUL. A pair of characters
// that is not hexadecimal counts as the byte 0; a last unpaired digit is ignored.
void decrypt_string(std::string& text);

// The same with the identifier of any host (as hardware_id gives it) instead of this host's.
namespace string_crypt_detail {
void encrypt_string_for(std::string& text, const std::string& host_id);
void decrypt_string_for(std::string& text, const std::string& host_id);
}  // namespace string_crypt_detail

}  // namespace kv_utils_common::server
