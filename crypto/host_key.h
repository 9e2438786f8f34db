#pragma once

// The HMAC key of the program's keyed digests: the lock file names and the host-bound
// identifier. Changing it renames every lock file and changes every host's identifier, so
// strings encrypted before the change no longer decrypt.

namespace kelvanor::hash {

inline constexpr const char* k_host_key =
    "050714170710390939147997345884896926109842497507116926917137551805975735200190552032287100247";

}  // namespace kelvanor::hash
