#pragma once

// The HMAC key compiled into the program. Lock-file names and the host-bound identifier are
// digests under this key, so changing it renames every lock file (two program versions would
// then not exclude each other) and changes every host identifier, after which strings
// encrypted before no longer decrypt: it must stay as it is.

#include <string_view>

namespace kelvanor::hash {

// 93 decimal digits; HMAC takes the bytes of this text as the key.
inline constexpr std::string_view k_host_key =
    "059145283551249189450095922127324937966680922311011965258630817198764721171099321149417250785";

static_assert(k_host_key.size() == 93);

}  // namespace kelvanor::hash
