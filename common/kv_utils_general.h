#pragma once

// Small utilities of the runtime: the login name, the product's main log file, free space,
// the platform's maker and model, file sizes, human-readable sizes and digest printing. They
// print their diagnostics straight to standard error.

#include <cstddef>
#include <cstdint>
#include <string>

namespace kv_utils_common {

inline constexpr const char* k_product_config_file = "/opt/kelvanor/etc/config.file";
inline constexpr const char* k_default_main_log_file = "/opt/kelvanor/log/Kelvanor.log";
inline constexpr const char* k_hw_platform_command = "dmidecode -t system|grep 'Manufacturer\\|Product'";

// getlogin, else the effective user's name, else the empty string.
[[nodiscard]] std::string get_loginname();

// The "logfile" setting of the product configuration file, or the default main log file. Ends
// the process with status 1 when the configuration file cannot be opened.
[[nodiscard]] std::string get_logfile();
// The same for the configuration file at `config_path`.
[[nodiscard]] std::string get_logfile(const std::string& config_path);

// Whether the file system of `path` has at least `needed` bytes free for an unprivileged user.
[[nodiscard]] bool check_free_space(const std::string& path, uint64_t needed);
// Whether the file system of `directory` has room for a copy of the file at `file`.
[[nodiscard]] bool check_free_space(const std::string& directory, const std::string& file);

// The system maker and product lines of the firmware's tables.
[[nodiscard]] bool get_hw_platform(std::string& output);

// The size of a regular file or block device; 0 for anything else or on failure.
[[nodiscard]] uint64_t get_file_size(const std::string& path);
// The length of a symbolic link's target text; 0 when `path` is no symbolic link.
[[nodiscard]] uint64_t get_symlink_size(const std::string& path);

// "1.5 kB", "1023 B", "1 MB": powers of 1024, trailing zeros of a whole number dropped.
[[nodiscard]] std::string size_to_human(float size, unsigned int precision);

// Each byte of the digest as two lower-case hexadecimal digits and a blank, then a line end.
void print_digest(const unsigned char* digest, size_t length_in_bits);
// Each byte as two lower-case hexadecimal digits, nothing between them.
[[nodiscard]] std::string digest_as_string(const unsigned char* digest, size_t length_in_bytes);

}  // namespace kv_utils_common
