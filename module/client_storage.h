#pragma once

// The task files through which the backup client tells the module where a task's backups go,
// and the cipher of the storage methods file.

#include <string>
#include <string_view>

namespace kelvanor::module {

// The folder of the files the backup client leaves per task, with its closing slash.
[[nodiscard]] std::string tasks_directory();
// The task's secret file: the folder and "/task_secret_" + the task id (the doubled slash is
// the name the data mover has always been given).
[[nodiscard]] std::string task_secret_path(const std::string& task_id);
// The task's enciphered list of storage methods.
[[nodiscard]] std::string client_defined_storages_path(const std::string& task_id);

// Kuznyechik in counter mode keyed with the task secret (cut or padded with zero bytes to the
// key size). Counter mode is its own inverse: the same call enciphers and deciphers.
[[nodiscard]] std::string client_defined_storages_cipher(std::string_view data, const std::string& secret);

// Tests point the task folder at their own directory; an empty text restores the fixed one.
void set_tasks_directory_for_tests(const std::string& directory);

}  // namespace kelvanor::module
