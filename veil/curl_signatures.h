#pragma once
// The signature texts that begin the error lines of the disk operations. The module's clean-up of
// disks logs its failures as these operations do, so the texts have one home here.
#include <string_view>

namespace kv_veil {

inline constexpr std::string_view k_create_vdisk_sig = "int curlAPI::create_vdisk(vdisk&, std::string&)";
inline constexpr std::string_view k_operate_with_disk_sig =
    "int curlAPI::operate_with_disk(const string&, const string&, const string&, std::string&, const string&)";
inline constexpr std::string_view k_detach_vdisks_sig =
    "int curlAPI::detach_vdisks(const std::vector<std::__cxx11::basic_string<char> >&, const string&)";
inline constexpr std::string_view k_detach_and_remove_sig =
    "void curlAPI::detach_and_remove_vdisks(const std::vector<std::__cxx11::basic_string<char> >&, const string&)";

}  // namespace kv_veil
