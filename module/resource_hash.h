#pragma once

// Keyed digests of short texts, for names that must be short, safe as file names and the same
// in every process of every version: HMAC-SHA-256 under the program's fixed key.

#include <array>
#include <cstdint>
#include <string>

namespace kelvanor::hash {

using digest256 = std::array<uint8_t, 32>;

namespace sha {

template <typename Digest>
struct Hasher;

// The HMAC-SHA-256 of the text's bytes under the program's fixed key.
template <>
struct Hasher<digest256> {
  [[nodiscard]] digest256 operator()(std::string text) const;
};

[[nodiscard]] digest256 make_hash(std::string text);

}  // namespace sha

// Lower-case hex, two digits per byte, from the last byte to the first: the order in which lock
// file names have always been written.
[[nodiscard]] std::string to_string(const digest256& digest);

}  // namespace kelvanor::hash
