#!/usr/bin/env python3
# Mutants of the module framework (dispatcher, options, client-defined storages, restriction
# lists, base behaviours): each one a real kind of bug, applied alone to the source, built,
# tested, and taken back. A mutant the tests do not catch is a fault that would go unseen.
#
#   scripts/mutants_module.py "<test command>" [ID ...]
#   e.g. scripts/mutants_module.py ./build/bin/test_module D3 O1
# Run from the top of the tree with a configured ./build; the tree must be clean.
import os
import subprocess
import sys

M = [
("D1","module/module_dispatcher.cpp","answer(need_esign_for_operation(op), k_not_applicable)","answer(!need_esign_for_operation(op), k_not_applicable)"),
("D2","module/module_dispatcher.cpp","op > VerifyInClientDefinedStorage) return k_no_operation","op >= VerifyInClientDefinedStorage) return k_no_operation"),
("D3","module/module_dispatcher.cpp","if (!release_resource_after_backup()) return k_backup_failed;","(void)release_resource_after_backup();"),
("D4","module/module_dispatcher.cpp","// The resource is given back whatever the data mover did.","if (!backed_up) return k_backup_failed;"),
("D5","module/module_dispatcher.cpp","return k_data_incomplete;","return k_success;"),
("D6","module/module_dispatcher.cpp","if (op == BackupList && !options_","if (op == BackupList && false && !options_"),
("D7","module/module_dispatcher.cpp","k_no_archive_name = 5","k_no_archive_name = 4"),
("D8","module/module_dispatcher.cpp","answer(options_.dedup_supported","answer(options_.archiving_supported"),
("D9","module/module_dispatcher.cpp","  if (!before_restore()) {\n    last = true;\n    close_restore();","  if (!before_restore()) {\n    last = true;"),
("D10","module/module_dispatcher.cpp","    remove_reference_snapshot_directory();\n    return status;","    return status;"),
("D11","module/module_dispatcher.cpp","return k_exception;","return k_success;"),
("D12","module/module_dispatcher.cpp","if (!options_.one_resource_at_a_time) return k_success;","if (options_.one_resource_at_a_time) return k_success;"),
("D13","module/module_dispatcher.cpp","op >= Backup && op <= ApplyReplica) std::cout","op >= Backup && op < ApplyReplica) std::cout"),
("D14","module/module_dispatcher.cpp","if (client_defined_storage_prepare()) return true;","if (client_defined_storage_prepare() || true) return true;"),
("D15","module/module_dispatcher.cpp","upgrade_config() ? k_success : k_no_operation","upgrade_config() ? k_success : k_success"),
("D16","module/module_dispatcher.cpp","if (!after_restored || !restored) {","if (!after_restored || (!restored && false)) {"),
("D17","module/module_dispatcher.cpp","      return k_not_applicable;\n    }\n    if (!parse_json","      return k_client_storage_failed;\n    }\n    if (!parse_json"),
("D18","module/module_dispatcher.cpp","if (backed_up && !close_backup(replica)) return k_backup_failed;","if (backed_up) (void)close_backup(replica);"),
("D19","module/module_dispatcher.cpp","case 2:\n      if (options_.incremental_supported)","case 2:\n      if (options_.differential_supported)"),
("D20","module/module_dispatcher.cpp","if (!load_client_defined_storages()) {","if (!load_client_defined_storages() && false) {"),
("O1","module/module_options.cpp","options.compress <= 0 ||","options.compress < 0 ||"),
("O2","module/module_options.cpp","options.compress > 4)","options.compress >= 4)"),
("O3","module/module_options.cpp","error != std::errc() || after != end","error != std::errc()"),
("O4","module/module_options.cpp","unsigned_option(options.parallelism)","po::value<uint32_t>(&options.parallelism)"),
("O6","module/module_options.cpp","if (op == Restore && !options.need_esign","if (false && op == Restore && !options.need_esign"),
("O7","module/module_options.cpp","if (options.backup_type == 1) return refuse(\"Reference","if (options.backup_type == 2) return refuse(\"Reference"),
("O8","module/module_options.cpp","!storage_operation && !options.autonomous)","!storage_operation)"),
("O9","module/module_options.cpp","if (!options.media_server.empty()) return refuse(\"Can't use media","if (false) return refuse(\"Can't use media"),
("O10","module/module_options.cpp","colon == std::string::npos || colon + 1 == piece.size()","colon == std::string::npos"),
("O11","module/module_options.cpp","special_params.emplace(key, value);","special_params[key] = value;"),
("O12","module/module_options.cpp","kvfd_flags[key] = value;","kvfd_flags.emplace(key, value);"),
("O13","module/module_options.cpp","if (size < 1) {","if (size < 0) {"),
("O14","module/module_options.cpp","last = value == \"true\";","last = yes;"),
("O15","module/module_options.cpp","options.backup_type != 1) return false;","options.backup_type == 0) return false;"),
("O16","module/module_options.cpp","    if (op != OperationNone) return false;\n    op = entry.operation;","    op = entry.operation;"),
("O17","module/module_options.cpp","if (op == ApplyReplica) options.destination","if (op == Restore) options.destination"),
("O18","module/module_options.cpp","boost::filesystem::is_regular_file(value, error)","boost::filesystem::exists(value, error)"),
("O19","module/module_options.cpp","  }\n  load_custom_module_parameters();","  }\n"),
("O20","module/module_options.cpp","if (is_one_of(op, {Backup, BackupList, CreateReplica})) options.dgst = true;","options.dgst = true;"),
("O21","module/module_options.cpp","if (!is_one_of(op, {Backup, BackupList, Restore})) return false;","if (!is_one_of(op, {Backup, BackupList, Restore, CreateReplica})) return false;"),
("O22","module/module_options.cpp","op = IsAutonomousSupported;","op = IsArchivingSupported;"),
("C1","module/client_storage.cpp","                                   << std::endl;\n      return false;\n    }\n    KvLogStream(KvLogLvl::Debug) << \"CLient","                                   << std::endl;\n      return true;\n    }\n    KvLogStream(KvLogLvl::Debug) << \"CLient"),
("C2","module/client_storage.cpp","if (!fs::exists(methods_path)) return true;","if (!fs::exists(methods_path)) return false;"),
("C3","module/client_storage.cpp","\": id is not a number: \" << record_summary(*object)","\": id is not a number: \" << record"),
("C4","module/client_storage.cpp","id->get_int64() <= std::numeric_limits<int>::max()","true"),
("C5","module/client_storage.cpp","k_local_directory, storage_id, json_text_without_quotes(member.value())","k_local_directory, storage_id, boost::json::serialize(member.value())"),
("C6","module/client_storage.cpp","plain.resize(std::min(plain.find('\\0'), plain.size()));",""),
("C7","module/client_storage.cpp","if (!fs::is_directory(directory, error)) {","if (false) {"),
("C8","module/client_storage.cpp","if (options_.operation != Restore) options_.tmp_operation_directory","options_.tmp_operation_directory"),
("C9","module/client_storage.cpp","if (at == std::string::npos || at + 1 == name.size()) return false;","if (at == std::string::npos) return false;"),
("C10","module/client_storage.cpp","entries.emplace_back(k_local_directory, value.substr(local_rest));","entries.emplace_back(k_local_directory, value.substr(local_rest - 1));"),
("C11","module/client_storage.cpp","bool KvModuleUniversal::check_supported_client_defined_storage(int) { return false; }","bool KvModuleUniversal::check_supported_client_defined_storage(int) { return true; }"),
("C12","module/client_storage.cpp","    if (!options_.autonomous_supported) {","    if (false) {"),
("C13","module/client_storage.cpp","if (secret.empty()) {","if (false) {"),
("C14","module/client_storage.cpp","options_.remote_host.clear();",""),
("R1","module/restrictions.cpp","                                     << std::endl;\n    return true;","                                     << std::endl;\n    return !m_resources.empty();"),
("R2","module/restrictions.cpp","if (resource != restriction) continue;","if (resource == restriction) continue;"),
("R3","module/restrictions.cpp","    check_json_depth(path);\n","    if (path.empty()) check_json_depth(path);\n"),
("R4","module/restrictions.cpp","escaped = true;","escaped = false;"),
("R5","module/restrictions.cpp","if (file.bad()) return unreadable();",""),
("R6","module/restrictions.cpp","if (restriction == options_.resource) return false;","if (!restriction.empty() && options_.resource.starts_with(restriction)) return false;"),
("R7","module/restrictions.cpp","bool ResourceList::parse_json_file(const std::string& path) {\n  clear();","bool ResourceList::parse_json_file(const std::string& path) {"),
("R8","module/restrictions.cpp","if (key == \"path\") m_resources","if (key == \"path\" || element_key == \"path\") m_resources"),
("K1","module/kv_modules_common.cpp","      (void)release_resource_after_backup();\n",""),
("K2","module/kv_modules_common.cpp","boost::filesystem::remove_all(restore_directory, error);","boost::filesystem::remove_all(options_.tmp_operation_directory, error);"),
("K3","module/kv_modules_common.cpp","  return !value.empty();","  return true;"),
("K4","module/kv_modules_common.cpp","return operation == VerifyInClientDefinedStorage;","return operation >= VerifyInClientDefinedStorage;"),
("K5","module/kv_modules_common.cpp","if (remove_tmp_dir && !restore_directory.empty())","if (!restore_directory.empty())"),
("U1","module/module_usage.cpp","options_.incremental_supported},\n      {\"Does the module support differential backup                        : \", options_.differential_supported}","options_.differential_supported},\n      {\"Does the module support differential backup                        : \", options_.incremental_supported}"),
("U2","module/module_usage.cpp","  usage_custom();\n",""),
]


def main():
    command = sys.argv[1]
    ids = sys.argv[2:] or [m[0] for m in M]
    build = "cmake --build build -j3 --target test_module kv_module_veil_vm kv_test_module"
    caught = 0
    for mid, path, old, new in M:
        if mid not in ids:
            continue
        source = open(path).read()
        if source.count(old) != 1:
            print(mid, "NOT-APPLICABLE", flush=True)
            continue
        open(path, "w").write(source.replace(old, new, 1))
        try:
            if subprocess.run(build, shell=True, capture_output=True).returncode != 0:
                print(mid, "BUILD-FAIL", flush=True)
                continue
            result = subprocess.run("timeout 300 " + command, shell=True, capture_output=True, text=True)
            failed = sorted({line.split()[3] for line in result.stdout.splitlines()
                             if line.startswith("[  FAILED  ]") and len(line.split()) > 3 and "." in line.split()[3]})
            caught += result.returncode != 0
            print(mid, "CAUGHT" if result.returncode != 0 else "SURVIVED", " ".join(failed[:4]), flush=True)
        finally:
            open(path, "w").write(source)
    subprocess.run(build, shell=True, capture_output=True)
    print("caught", caught, "of", len(ids))


if __name__ == "__main__":
    os.chdir(os.path.dirname(os.path.abspath(__file__)) + "/..")
    main()
