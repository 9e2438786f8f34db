#pragma once

#include <string>

// One row of the controller's domain list.
struct veil_vm_info {
  std::string id;                // quote-stripped
  std::string verbose_name;      // quote-stripped
  std::string status;            // quote-stripped
  std::string user_power_state;  // JSON text: a number stays its digits
};
