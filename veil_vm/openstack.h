#pragma once

// Finding the local block device under which a disk attached to the module VM shows up. The
// module attaches every disk with a serial number of its own choosing; the disk is found by
// that serial among the block devices that lsblk and udevadm report.

#include <string>
#include <vector>

namespace openstack {

// Polls the block devices once a second until one carries `serial`; its kernel name (without
// "/dev/") goes to `device_name`. 0 found, 1 after about 300 seconds without it, 17 when a stop
// of the program was requested meanwhile.
[[nodiscard]] int get_attached_block_device_name(const std::string& serial, const std::string& vm_id,
                                                 std::string& device_name);

// Appends the kernel names of the top-level disks. 0, 6 for output of the wrong shape, 2 for
// output that is not JSON.
[[nodiscard]] int get_block_devices_list(std::vector<std::string>& names);

// Reads the serial number of a block device. 0 or 1.
[[nodiscard]] int get_disk_serial_number(const std::string& device_name, std::string& serial);

// True when an ssh connection to the host runs a command.
[[nodiscard]] bool test_ssh_connection(const std::string& host, const std::string& user, unsigned int timeout,
                                       bool log_as_error, const std::string& identity_file, bool verbose);

// The readers of the two tools' output, apart from running them.
[[nodiscard]] int parse_block_devices(const std::string& lsblk_json, std::vector<std::string>& names);
// The value of the line whose key is exactly ID_SERIAL (any letter case), without its line end;
// false when there is no such line.
[[nodiscard]] bool parse_disk_serial(const std::string& udevadm_output, std::string& serial);

}  // namespace openstack
