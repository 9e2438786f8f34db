#pragma once

// The VeiL virtual machine backup module: the one concrete module of the program. The framework
// (KvModuleUniversal) decides what runs when; this class lists, checks, backs up, restores and
// archives VeiL VMs through the controller's REST interface.

#include "module/kv_modules_common.h"
#include "veil/domain_conf.h"
#include "veil/vdisk.h"
#include "veil/veil_conf.h"
#include "veil/veil_vm_info.h"
#include "veil_vm/platform_tasks.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class curlAPI;

// Module parameters of one backup, read from the -e string; built afresh by each preparation.
struct veil_vm_module_conf {
  bool backup_if_shutdown = true;         // back up a VM that is not running
  std::string script_before_snapshot;     // guest script run before the disks are attached
  std::string script_after_snapshot;      // guest script run after the configuration is saved
  uint32_t execution_script_timeout = 5;  // seconds allowed for each guest script
};

// A guest script the backup still owes a VM: the after-script that matches a before-script
// already run. A guest frozen by its before-script stays frozen until it runs.
struct veil_vm_guest_script {
  std::string vm_id;     // the VM whose guest runs it
  std::string path;      // the script's path inside the guest
  uint32_t timeout = 5;  // seconds allowed for it
};

class KvModuleVeilVM : public KvModuleUniversal {
 public:
  explicit KvModuleVeilVM(const KvModuleOptions& options);
  ~KvModuleVeilVM() override = default;

  [[nodiscard]] bool prepare_resource_before_backup(const bool& replica) override;
  [[nodiscard]] bool release_resource_after_backup() override;
  [[nodiscard]] bool load_module_config() override;
  void usage_custom() override;
  [[nodiscard]] int check_client(const bool& print_version) override;
  [[nodiscard]] std::string get_full_module_version() override;
  [[nodiscard]] int list_header_labels() override;
  [[nodiscard]] int list_all_resources() override;
  [[nodiscard]] int list_all_resources_with_header_labels() override;
  [[nodiscard]] bool resource_exists() override;
  [[nodiscard]] bool before_restore() override;
  [[nodiscard]] bool after_restore() override;
  [[nodiscard]] bool after_restore_last_file() override;
  [[nodiscard]] bool deployment(const bool& replica) override;
  void autonomous_options() override;
  void make_archiving() override;
  // The base's shutdown, then, during a restore, the removal of the new disks that are still
  // attached to the module VM (see m_restoring_vdisks).
  void handle_shutdown_signal() override;

 protected:
  // Reads the configuration file at `path` into conf; load_module_config reads the installed one.
  [[nodiscard]] bool load_module_config_from(const std::string& path);
  // The module parameters of a backup from the -e string, with their defaults and range checks.
  [[nodiscard]] veil_vm_module_conf read_backup_parameters() const;
  // Finds the module VM (its id goes into conf) and, for a non-empty id, the row of that VM
  // (into resource_info); 0 when both are found, 2 otherwise.
  [[nodiscard]] int check_resource(const std::string& name);
  // Prints one line per VM of the controller, after the header line when asked; 0 or 2.
  [[nodiscard]] int list_all_resources(bool with_header);

  // Restore (restore.cpp, restore_vdisks.cpp, deployment.cpp). The restore directory is the
  // operation directory once the framework has set it. Results: 0, or 7 (6 when a new disk's
  // block device was not found).
  [[nodiscard]] int fill_domain_config(::domain_conf& domain);
  [[nodiscard]] int fill_vdisk_config(const std::string& vdisk_id, vdisk& disk);
  // Loads every saved disk configuration the VM's lists, before anything is created; 0 or 7.
  [[nodiscard]] int check_saved_vdisks(const ::domain_conf& domain);
  // Creates a new disk for every saved one, fills it from its image and leaves it detached; the
  // new ids are appended to `created`, the boot disk's goes to `boot_id`.
  [[nodiscard]] int restore_vdisks(const ::domain_conf& domain, curlAPI* api, std::vector<std::string>& created,
                                   std::string& boot_id);
  // Creates the VM of the saved configuration under a free name, with the boot disk when its id
  // is not empty; the record then holds the new VM's id and name.
  [[nodiscard]] static int deploy_vm(const std::string& boot_id, curlAPI* api, ::domain_conf& domain);
  // Takes the -e dd_block_size when given; a value outside 1 to 100 falls back to 5.
  void read_dd_block_size();
  // A saved target_dev names the image file and reaches a shell command, a saved disk id names
  // its .conf file: only a bare name (letters, digits, '-', '_') is accepted.
  [[nodiscard]] static bool is_plain_device_name(const std::string& name);
  // The dd command that copies an image onto /dev/<device> and flushes it to the device before
  // dd exits; throws kelvanor_common::unsafe_shell_value for a path no command can carry.
  [[nodiscard]] static std::string copy_image_command(const std::string& image_path, const std::string& device,
                                                      uint32_t block_size_mb);
  // Detaches from the module VM and removes the disks restore_vdisks created and has not
  // handed on yet; never throws.
  void remove_unfinished_restored_vdisks() noexcept;
  // Detaches from the module VM and removes the new disks of a restore, after their tasks.
  void remove_restored_vdisks(curlAPI& api, const std::vector<std::string>& vdisks);
  // The end of a backup's release: the run's list and configuration files removed; true.
  bool remove_run_files();

  ::conf conf;                                  // connection settings of the controller
  std::vector<std::string> attached_vdisks;     // disks the backup attached to the module VM
  uint32_t dd_block_size = 5;                   // megabytes per dd block when a disk is restored
  std::string domain_verbose_name;              // name of the backed-up VM, for archiving
  ::domain_conf domain_conf;                    // configuration of the VM being backed up or restored
  veil_vm_info resource_info;                   // list row of the resource VM
  std::string vm_config_path;                   // this run's saved VM configuration file
  std::vector<std::string> vdisk_config_paths;  // this run's saved disk configuration files
  // Set from the moment a before-script runs until its after-script has run; a preparation cut
  // short (a failure, or a stop whose shutdown calls the release) runs it on the way out.
  std::optional<veil_vm_guest_script> owed_after_script;
  KvPlatformTasks platform_tasks;  // the controller's tasks this run started and has not seen end

 private:
  // The new disks of a restore_vdisks under way, in creation order. They may be attached to the
  // module VM; a stop of the program detaches and removes them. Cleared when restore_vdisks
  // returns, whichever way.
  std::vector<std::string> m_restoring_vdisks;
};
