#pragma once

// The abstract base of every backup module. A run builds one object, calls init with the
// command line and returns what run gives; the concrete module supplies the sixteen pure hooks
// and may replace the other virtual operations.

#include "module/kv_module_options.h"
#include "module/kv_signal_handler.h"
#include "module/module_resource_lock.h"
#include "module/os_snapshot.h"

#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kv_config {
class ConfigFile;
}

class KvModuleUniversal {
 public:
  // One storage method of the task, as the client's methods file describes it.
  struct ClientDefinedStorageInfo {
    int type = 0;       // 1 local directory, 2 s3, 3 the module's default storage
    int id = 0;         // the client's id of the storage
    std::string value;  // the directory (type 1), the s3 description (type 2), empty (type 3)
  };

  // An archive name that carries its storage: "<method><separator><id>...@<name>".
  struct ClientDefinedArchiveInfo {
    int type = 0;      // the storage type, coded as in ClientDefinedStorageInfo
    int id = 0;        // the client's id of the storage
    std::string name;  // the archive's own name
  };

  // A block device as lsblk describes it.
  struct block_device_info {
    std::string name;                      // lsblk "name"
    uintmax_t size = 0;                    // bytes
    bool ro = false;                       // read-only
    std::string type;                      // "lvm", "disk", ...
    std::vector<std::string> mountpoints;  // each kept as its JSON text, quotes included
    std::string fstype;
    std::string fsver;
    std::string label;
    std::string uuid;
    uintmax_t fsavail = 0;                 // bytes free in the mounted file system
  };

  // Runs a shell command with standard error joined and returns its exit code; the host
  // queries, snapshots, signature checks and the remote road all run their commands through it.
  using command_runner = std::function<int(const std::string& command, std::string& output)>;

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
  [[nodiscard]] virtual bool write_esign(const std::string& hex_signature, const std::string& path);
  [[nodiscard]] virtual bool check_filename_by_esing(const std::string& public_key, const std::string& hash_name,
                                                     const std::string& signature_file,
                                                     const std::string& target_file, bool meta);

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
  // Run at the stop point after SIGTSTP: logs the pause, then waits until the resume handler
  // clears `paused` (or a stop is requested).
  void set_to_pause();
  [[nodiscard]] bool is_paused() const;
  // Run at the stop point after SIGCONT: logs the resume.
  void continue_working();
  // Passes SIGTSTP or SIGCONT on to the running data mover, if any; async-signal-safe (the
  // stop point reports the outcome on stdout).
  void send_signal_to_kvfd(int signal);

  // --- Framework routines the dispatcher relies on. ---
  [[nodiscard]] bool reassign_resource_locker(const std::string& resource);
  [[nodiscard]] bool upgrade_config();
  // The three files merged into the layout of a new configuration file; writes nothing.
  [[nodiscard]] kv_config::ConfigFile get_merged_config(const kv_config::ConfigFile& old_config,
                                                        const kv_config::ConfigFile& new_config,
                                                        const kv_config::ConfigFile& update_config);

  // --- Files of the operation and the snapshot file (operation_files.cpp). ---
  [[nodiscard]] std::string archive_filename() const;
  [[nodiscard]] std::string snapshot_filename() const;
  [[nodiscard]] std::string snapshot_directory_path() const;
  [[nodiscard]] std::string leveldb_directory_path() const;
  [[nodiscard]] std::string meta_filename() const;
  [[nodiscard]] std::string reference_snapshot_directory_path() const;
  [[nodiscard]] int pack_snapshot_file() const;
  [[nodiscard]] int unpack_snapshot_file(const std::string& path);
  // As unpack_snapshot_file, for operations that only look into the snapshot: only its meta
  // file is unpacked, into a fresh temporary directory (removed with the reference snapshot
  // directory), and the file stays.
  [[nodiscard]] int unpack_snapshot_file_privately(const std::string& path);
  void remove_reference_snapshot_directory();
  // The tar commands of packing (into the open file `archive`) and unpacking; they throw for a
  // path no command can carry.
  [[nodiscard]] std::string pack_snapshot_command(int archive) const;
  [[nodiscard]] static std::string unpack_snapshot_command(const std::string& path, const std::string& directory);

  // --- The data mover: running it, its list file and command pieces (kvfd_runner.cpp,
  // kvfd_command.cpp). ---
  [[nodiscard]] bool run_kvfd_command(const std::string& command, std::string& output, pid_t& pid,
                                      std::string& statistics);
  // The same for a data mover that runs on another host through the ssh of `command`: the pid it
  // prints is one of that host, so `pid` holds the local ssh instead, which pause, resume and
  // stop then reach.
  [[nodiscard]] bool run_remote_kvfd_command(const std::string& command, std::string& output, pid_t& pid,
                                             std::string& statistics);
  [[nodiscard]] bool add_to_kvfd_list_file(const std::string& path, const std::map<std::string, std::string>& entries,
                                           bool append);
  void init_kvfd_flags();
  void add_kvfd_options_to_command(std::string& command) const;
  [[nodiscard]] static std::string compress_mode_str(unsigned int mode);
  [[nodiscard]] std::string get_task_secret() const;
  [[nodiscard]] bool append_some_special();
  [[nodiscard]] bool compose_append_command(std::string& command);

  // --- Backup through the data mover (backup.cpp). The compose functions build a command
  // without running anything; like every builder of a command line here, they throw
  // kelvanor_common::unsafe_shell_value for a value that no command line can carry. ---
  [[nodiscard]] bool make_backup();
  [[nodiscard]] bool make_backup_cmd_common(std::string& command) const;
  [[nodiscard]] bool compose_local_backup_command(std::string& command);
  [[nodiscard]] bool make_backup_locally();
  // Runs a composed local backup command under the data mover's umask and keeps its result.
  [[nodiscard]] bool run_local_backup_command(const std::string& command);
  [[nodiscard]] bool make_backup_remotely();
  // The remote road's pieces (remote_backup.cpp): the data mover command it runs over ssh, the
  // ssh prefix of every remote command, and the removal of what it left on the remote host.
  [[nodiscard]] bool compose_remote_backup_command(std::string& command);
  [[nodiscard]] std::string remote_ssh_prefix() const;
  [[nodiscard]] bool cleanup_remote_host(const std::string& ssh_prefix);
  [[nodiscard]] bool close_backup(const bool& replica);
  [[nodiscard]] std::string file_listing_command() const;

  // --- Restore through the data mover (restore.cpp). ---
  [[nodiscard]] bool make_restore(const bool& replica);
  // An empty command with true: the archive lies in the module's default storage and the data
  // mover has nothing to unpack.
  [[nodiscard]] bool compose_restore_command(const bool& replica, std::string& command);
  [[nodiscard]] bool run_restore_command(const bool& replica, const std::string& command);
  [[nodiscard]] int check_file_to_restore_for_sparse(const std::string& path) const;
  [[nodiscard]] std::vector<std::string> read_local_restrictions() const;
  [[nodiscard]] bool check_local_restrictions() const;
  [[nodiscard]] bool load_client_defined_storages();
  [[nodiscard]] bool client_defined_storage_prepare();
  [[nodiscard]] static bool split_client_defined_storage_record(const std::string& record,
                                                                ClientDefinedStorageInfo& info);
  [[nodiscard]] bool split_client_defined_archive_name(const std::string& name, ClientDefinedArchiveInfo& info) const;
  [[nodiscard]] bool parse_json_of_client_defined_storage(const std::string& json,
                                                          std::vector<std::pair<int, std::string>>& entries);

  // --- Host block devices (host_block_devices.cpp). ---
  [[nodiscard]] std::string get_mountpoint(const std::string& path) const;
  [[nodiscard]] std::string get_block_device(const std::string& mount_point, bool resolve) const;
  [[nodiscard]] bool get_block_device_info(const std::string& device, block_device_info& info) const;

  // --- Host snapshot service (os_snapshot.cpp). ---
  [[nodiscard]] bool run_script(const std::string& script, const std::string& argument);
  [[nodiscard]] bool create_OS_snapshot(std::string& device, bool mount, std::string& mount_dir,
                                        std::string& mount_point);
  [[nodiscard]] bool mount_OS_snapshot(const std::string& device, std::string& mount_dir,
                                       const std::string& options) const;
  [[nodiscard]] bool umount_OS_snapshot() const;
  [[nodiscard]] bool remove_OS_snapshot();
  [[nodiscard]] bool create_OS_snapshot_multiple(const std::string& path, std::string& device, bool mount,
                                                 std::string& mount_dir, std::string& mount_point);
  [[nodiscard]] bool mount_OS_snapshot_multiple(const std::string& device, std::string& mount_dir,
                                                const std::string& options) const;
  [[nodiscard]] bool umount_OS_snapshot_multiple(const std::string& mount_dir) const;
  [[nodiscard]] bool remove_all_OS_snapshots();
  [[nodiscard]] uintmax_t calculate_OS_snapshot_size(uintmax_t device_size) const;

  // Replaces the runner of host commands; tests give one that answers from a table.
  void set_command_runner(command_runner runner) { m_command_runner = std::move(runner); }

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
  volatile std::sig_atomic_t paused = 0;                 // between SIGTSTP and SIGCONT
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
  // The restore directory this run chose, empty until define_restore_directory succeeds. A stop
  // during a restore removes only this directory: before it is set, tmp_operation_directory is
  // still the client's own directory.
  std::string restore_directory;

 protected:
  [[nodiscard]] int run_host_command(const std::string& command, std::string& output) const;

 private:
  command_runner m_command_runner;  // empty: kv_utils_common::execute_command

  [[nodiscard]] bool create_OS_snapshot_common(const char* signature, const std::string& resource, bool multiple,
                                               std::string& device, bool mount, std::string& mount_dir,
                                               std::string& mount_point);
  [[nodiscard]] bool umount_snapshot_directory(const char* signature, const std::string& mount_dir) const;

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
  [[nodiscard]] int unpack_snapshot(const std::string& path, bool into_private_directory);
  [[nodiscard]] bool run_kvfd(const std::string& command, std::string& output, pid_t& pid, std::string& statistics,
                              bool remote);

  // " -2 " for the default hash length, " -5 " for any other.
  [[nodiscard]] std::string hash_length_flag() const;
  // Adds " -C" and " -k" unless the data is not enciphered; false, with an Error line starting
  // with `error_prefix`, when the key file is not given or missing.
  [[nodiscard]] bool add_crypto_options_to_command(std::string& command, const std::string& error_prefix) const;
};

// Puts one backslash before each blank, quote, backslash and shell metacharacter of the text,
// in place; tabs and newlines stay as they are, so it does not make every text safe for a shell.
void shield_string_for_command(std::string& text);

// Splits a full version such as 2.1.0.76b6ede into "2.1", "0" and "76b6ede"; 0, or 1 on failure.
int split_full_version(const std::string& full_version, std::string& major_minor, std::string& patch,
                       std::string& build);
