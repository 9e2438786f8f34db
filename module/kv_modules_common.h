#pragma once

// The abstract base of every backup module. A run builds one object, calls init with the
// command line and returns what run gives; the concrete module supplies the sixteen pure hooks
// and may replace the other virtual operations.

#include "module/kv_module_options.h"
#include "module/kv_signal_handler.h"
#include "module/module_resource_lock.h"
#include "module/os_snapshot.h"

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class KvModuleUniversal {
 public:
  // One storage method of the task, as the client's methods file describes it.
  struct ClientDefinedStorageInfo {
    int type = 0;       // 1 local directory, 2 s3, 3 the module's default storage
    int id = 0;         // the client's id of the storage
    std::string value;  // the directory (type 1), the s3 description (type 2), empty (type 3)
  };

  explicit KvModuleUniversal(const KvModuleOptions& options);
  KvModuleUniversal(const KvModuleUniversal&) = delete;
  KvModuleUniversal& operator=(const KvModuleUniversal&) = delete;
  virtual ~KvModuleUniversal();

  // --- The contract with the concrete module: the hooks every module supplies. ---
  [[nodiscard]] virtual bool prepare_resource_before_backup(const bool& replica) = 0;
  [[nodiscard]] virtual bool release_resource_after_backup() = 0;
  [[nodiscard]] virtual bool load_module_config() = 0;
  virtual void usage_custom() = 0;
  [[nodiscard]] virtual int check_client(const bool& print_version) = 0;
  [[nodiscard]] virtual std::string get_full_module_version() = 0;
  [[nodiscard]] virtual int list_header_labels() = 0;
  [[nodiscard]] virtual int list_all_resources() = 0;
  [[nodiscard]] virtual int list_all_resources_with_header_labels() = 0;
  [[nodiscard]] virtual bool resource_exists() = 0;
  [[nodiscard]] virtual bool before_restore() = 0;
  [[nodiscard]] virtual bool after_restore() = 0;
  [[nodiscard]] virtual bool after_restore_last_file() = 0;
  [[nodiscard]] virtual bool deployment(const bool& replica) = 0;
  virtual void autonomous_options() = 0;
  virtual void make_archiving() = 0;

  // --- Operations with a framework behaviour that a module may replace. ---
  [[nodiscard]] virtual bool check_supported_client_defined_storage(int storage_type);
  [[nodiscard]] virtual std::string archive_sign_filename();
  [[nodiscard]] virtual int define_restore_directory();
  virtual void list_restore_parameters();
  virtual void load_custom_module_parameters();
  virtual void handle_shutdown_signal();
  [[nodiscard]] virtual bool apply_replica();
  [[nodiscard]] virtual bool need_esign_for_operation(KvModuleOperations operation);
  [[nodiscard]] virtual bool delete_from_client_defined_storage(std::vector<std::pair<int, std::string>> entries);
  [[nodiscard]] virtual bool verify_in_client_defined_storage();
  [[nodiscard]] virtual bool parse_esign_json(const std::string& json, std::string& archive_name,
                                              std::string& archive_sign, std::string& snapshot_sign);
  [[nodiscard]] virtual int get_config_option_presence_type(const std::string& name);
  [[nodiscard]] virtual std::string resolve_config_option_merge_conflict(const std::string& name,
                                                                         const std::string& old_value);
  virtual void close_restore();

  // --- Run: signal handlers and command line, then the one operation. ---
  [[nodiscard]] bool init(int argc, char** argv);
  [[nodiscard]] uint32_t run();

  // --- Command line (module_options.cpp, module_usage.cpp). ---
  [[nodiscard]] bool parse_module_options(int argc, char** argv, KvModuleOptions& options);
  void parce_param_string();
  void usage(const KvModuleOptions& options);
  void module_properties();
  // The value of a -e key that no framework setting claims; true only for a non-empty value.
  bool find_special_param(const std::string& key, std::string& value) const;
  [[nodiscard]] bool has_special_param_passed_from_client(const std::string& key) const;

  // --- Pause and resume (kv_signal_handler.cpp). ---
  // Logs the pause, then waits one second at a time until continue_working (or a stop request).
  void set_to_pause();
  [[nodiscard]] bool is_paused() const;
  void continue_working();
  // Passes the signal on to the running data mover, if any.
  void send_signal_to_kvfd(int signal);

  // --- Framework routines the dispatcher relies on. ---
  [[nodiscard]] bool reassign_resource_locker(const std::string& resource);
  [[nodiscard]] std::string snapshot_directory_path() const;
  [[nodiscard]] std::string leveldb_directory_path() const;
  [[nodiscard]] int unpack_snapshot_file(const std::string& path);
  void remove_reference_snapshot_directory();
  void init_kvfd_flags();
  [[nodiscard]] bool make_backup();
  [[nodiscard]] bool close_backup(const bool& replica);
  [[nodiscard]] bool make_restore(const bool& replica);
  [[nodiscard]] bool upgrade_config();
  [[nodiscard]] std::vector<std::string> read_local_restrictions() const;
  [[nodiscard]] bool check_local_restrictions() const;
  [[nodiscard]] bool load_client_defined_storages();
  [[nodiscard]] bool client_defined_storage_prepare();
  [[nodiscard]] bool parse_json_of_client_defined_storage(const std::string& json,
                                                          std::vector<std::pair<int, std::string>>& entries);

  // --- Settings of the host snapshot service. ---
  [[nodiscard]] std::string get_OS_snapshot_type() const { return snapshot_type; }
  [[nodiscard]] bool is_OS_snapshot_using() const { return use_snapshot; }
  [[nodiscard]] std::string script_before_snapshot() const { return script_before_snapshot_; }
  [[nodiscard]] std::string script_after_snapshot() const { return script_after_snapshot_; }
  [[nodiscard]] std::string script_error_snapshot() const { return script_error_snapshot_; }

 protected:
  // The signal handlers read and write the run state below from inside the one thread.
  friend class KvModuleSignalHandler;

  KvModuleOptions options_;                              // the command line and capabilities
  std::map<std::string, std::string> kvfd_list_extra;    // extra lines of the data mover's list file
  bool remove_tmp_dir = true;                            // lets a restore's shutdown remove the directory
  std::string kvd_hash_algorithm = "sha2";               // -e
  int32_t kvd_hash_length = 256;                         // -e
  int32_t kvd_block_size = 16384;                        // -e
  bool file_list = false;                                // -e: print the archive's listing
  bool numeric_owner = false;                            // -e
  bool ignore_errors_snapshot = true;                    // -e
  std::vector<std::string> kvfd_flag_names;              // data mover parameters accepted from -e
  std::map<std::string, std::string> kvfd_flags;         // -e values for those names, last one wins
  bool last = false;                                     // -e; also set when a restore step fails
  std::string tmp_catalog;                               // -e
  bool without_deployment_restore = false;               // -e
  pid_t kvfd_pid = 0;                                    // running data mover, 0 when none
  bool paused = false;                                   // inside the pause handler
  kelvanor::module::resource_file_lock resource_file_lock;  // lock of the current resource
  std::string reference_snapshot_directory;              // unpacked reference snapshot
  std::unique_ptr<KvModuleSignalHandler> signal_handler; // installed by init
  std::map<std::string, std::string> special_params;     // other -e keys, first value wins
  bool shutdown_requested = false;                       // set by the shutdown hook
  bool backup_succeeded = false;                         // result of the local data mover run
  bool data_incomplete = false;                          // the data mover reported incomplete data
  std::vector<ClientDefinedStorageInfo> client_defined_storages;  // storage methods of the task
  int32_t selected_storage_type = 0;                     // chosen client-defined storage
  int32_t selected_storage_id = 0;
  std::unique_ptr<Snapshot> os_snapshot;                 // provider of the single host snapshot
  std::vector<OsSnapshot> os_snapshots;                  // the "multiple" host snapshots
  bool use_snapshot = false;                             // -e
  std::string snapshot_type;                             // -e: "lvm" or "dattobd"
  int32_t snapshot_size = 10;                            // -e: percent of the device
  // -e: paths of regular files; the trailing underscore keeps the names free for the accessors.
  std::string script_before_snapshot_;
  std::string script_after_snapshot_;
  std::string script_error_snapshot_;

 private:
  using scoped_lock = kelvanor::module::resource_file_scoped_lock;

  [[nodiscard]] uint32_t run_operation(scoped_lock& lock_holder);
  [[nodiscard]] uint32_t lock_resource(const std::string& key, scoped_lock& lock_holder);
  [[nodiscard]] uint32_t answer_backup_type_question() const;
  [[nodiscard]] bool load_config_or_report();
  [[nodiscard]] uint32_t run_backup(scoped_lock& lock_holder);
  [[nodiscard]] uint32_t run_restore(scoped_lock& lock_holder);
  [[nodiscard]] uint32_t run_apply_replica(scoped_lock& lock_holder);
  [[nodiscard]] uint32_t run_client_storage_operation();
  [[nodiscard]] uint32_t finish_with_data_state() const;
};

// Splits a full version such as 2.1.0.76b6ede into "2.1", "0" and "76b6ede"; 0, or 1 on failure.
int split_full_version(const std::string& full_version, std::string& major_minor, std::string& patch,
                       std::string& build);
