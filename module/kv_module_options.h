#pragma once

// The parsed command line of one module run, together with the module's capabilities that the
// program declares before parsing.

#include "module/restrictions.h"

#include <cstdint>
#include <string>

// The one operation a run carries out. Values above VerifyInClientDefinedStorage are invalid but
// representable: the dispatcher answers them with status 1.
enum KvModuleOperations : uint32_t {
  OperationNone = 0,
  CheckClient = 1,
  UpgradeConfig = 2,
  ListAllResources = 3,
  ListAllResourcesWithHeaders = 4,
  ListHeaderLabels = 5,
  IsBackupTypeSupported = 6,
  IsDedupSupported = 7,
  IsArchivingSupported = 8,
  Backup = 9,
  BackupList = 10,
  Restore = 11,
  CreateReplica = 12,
  ApplyReplica = 13,
  ShowVersion = 14,
  ShowBackupOptions = 15,
  IsAutonomousSupported = 16,
  ShowModuleProperties = 17,
  ListRestoreParameters = 18,
  DeleteFromClientDefinedStorage = 19,
  VerifyInClientDefinedStorage = 20,
};

struct KvModuleOptions {
  std::string program_path;                       // first element of the command line
  KvModuleOperations operation = OperationNone;   // the operation chosen
  uint32_t backup_type = 1;                       // 1 full, 2 incremental, 3 differential
  std::string resource;                           // -b, -A, or the JSON list path of -B
  ResourceList resource_list;                     // read from the -B file
  std::string resource_list_file;                 // data mover's list file, set by the module
  std::string tmp_operation_directory;            // -d
  std::string archive_name;                       // -n, --client-archive
  std::string reference_snapshot;                 // -s
  std::string archive_to_patch;                   // -i
  int32_t compress = 1;                           // -z, 1 to 4
  bool local_restrictions = false;                // -j
  std::string module_params;                      // -e
  std::string crypto = "nocrypt";                 // -C
  std::string key_file;                           // -k
  std::string destination;                        // copy of -d when applying a replica
  std::string media_server;                       // -m
  std::string task_id;                            // -T
  std::string record_id;                          // -r, -R
  std::string meta_file;                          // -M
  std::string unpacked_meta_file;                 // set when a snapshot or meta file is unpacked
  uint32_t parallelism = 1;                       // -p
  bool archiving = false;                         // -a with a full backup
  bool dgst = false;                              // --dgst with a backup
  bool autonomous = false;                        // --autonomous with a backup or restore
  std::string restriction_list_path;              // set by the program
  std::string granular_list;                      // -f
  std::string granular_entities;                  // -g
  std::string client_defined_storage_json;        // --delete_from_client_defined_storage
  bool incremental_supported = false;             // capability, set by the program
  bool differential_supported = false;            // capability
  bool dedup_supported = false;                   // capability
  bool archiving_supported = false;               // capability
  bool autonomous_supported = false;              // capability
  bool one_resource_at_a_time = false;            // capability: lock the resource while working
  bool set_to_numeric = false;                    // read by the restore command only
  std::string remote_host;                        // read by the backup only
  std::string remote_user = "root";               // user on the remote backup host
  uint32_t memory_threshold = 0;                  // -G
  std::string configs_list;                       // -u, "old:new:update"
  bool need_esign = false;                        // --need_esign
  std::string sign_hash;                          // --sign_hash
  std::string esign;                              // --esign
};

// The backup type in words for messages: "a full", "an incremental", "a differential"; empty for
// any other type.
const char* backup_kind_text(uint32_t backup_type);
