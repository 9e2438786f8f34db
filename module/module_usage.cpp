// The texts a module prints about itself: the usage text and its capabilities.

#include "module/kv_modules_common.h"

#include <iostream>

namespace {

// The command-line forms, one per line, after the version and program lines.
constexpr const char* k_usage_lines[] = {
    "       -V (show version)",
    "       -u path_to_old_config:path_to_new_config:path_to_update_config (Update configuration file)",
    "       -1 (Full backup supported? It returns 0 if yes)",
    "       -2 (Incremental backup supported? It returns 0 if yes)",
    "       -3 (Differential backup supported? It returns 0 if yes)",
    "       -D (Is client-side deduplication supported? It returns 0 if yes",
    "       -a (Does module support archiving? It returns 0 if yes",
    "       -h (this message)",
    "       -c (list header labels if module is not browsable)",
    "       -l (list all resources at this client without headers if module is not browsable)",
    "       -L (list all resources at this client with headers if module is not browsable)",
    "       -1 [ -C crypto algorithm -k key_file ] ] -b resource -d tmp_operation_directory  [ -m media_server -T task_id | --autonomous ]-n archive_name [ -z compress_type ] [ -j ] [ -p parallelism ] [ -a ] (create full backup or make archiving with -a option )",
    "       -2 [ -C crypto algorithm -k key_file ] ] -b resource -d tmp_operation_directory [ -m media_server -T task_id | --autonomous ]-n archive_name -s reference_snapshot [ -z compress_type ] [ -j ] [ -p parallelism ] (create incremental backup)",
    "       -3 [ -C crypto algorithm -k key_file ] ] -b resource -d tmp_operation_directory [ -m media_server -T task_id | --autonomous ]-n archive_name -s reference_snapshot [ -z compress_type ] [ -j ] [ -p parallelism ] (create differential backup)",
    "       -r record_id [ -m media_server | --autonomous ] [ -C crypto algorithm -k key_file ] [ -p parallelism ] -d destination_directory [ -i archive_to_patch ] (restore record ID)",
    "       -t (check the ability to run the module on this client)",
    "       --show-backup-options (show supported module special backup options)",
    "       --show-module-properties",
    "       -o (List restore options)",
    "       --autonomous (Autonomous mode supported? It returns 0 if yes)",
    "compress_type: 1 - no compress, 2 - fast, 3 - optimal, 4 - best",
    "       Remote replication: ",
    "       -A resource -B max_block_count [ -C crypto algorithm -k key_file ] -d tmp_operation_directory -m media_server -T task_id -n archive_name [ -p parallelism ] (create replica) ",
    "       -R record_id -B max_block_count [ -C crypto algorithm -k key_file ] -d destination_resource -m media_server [ -p parallelism ] (apply remote replica)",
};

}  // namespace

void KvModuleUniversal::usage(const KvModuleOptions& options) {
  std::cout << "This utility is a part of Kelvanor project" << std::endl;
  std::cout << "Version: " << get_full_module_version() << std::endl;
  std::cout << "Usage: " << options.program_path << std::endl;
  for (const char* line : k_usage_lines) std::cout << line << std::endl;
  usage_custom();
}

void KvModuleUniversal::module_properties() {
  // Labels are padded so that every ": " starts in the same column.
  const struct {
    const char* label;
    bool value;
  } properties[] = {
      {"Only one data source backup operation is allowed at one time       : ", options_.one_resource_at_a_time},
      {"Does the module support working in the client's autonomous mode    : ", options_.autonomous_supported},
      {"Does the module support incremental backup                         : ", options_.incremental_supported},
      {"Does the module support differential backup                        : ", options_.differential_supported},
      {"Does this module support deduplication                             : ", options_.dedup_supported},
      {"Does this module support archiving                                 : ", options_.archiving_supported},
  };
  std::cout << "Module properties:" << std::endl << std::endl;
  for (const auto& property : properties)
    std::cout << property.label << (property.value ? "true" : "false") << std::endl;
  std::cout << "Location of the restriction list                                   : "
            << options_.restriction_list_path << std::flush;
}
