#pragma once

#include <cstdint>
#include <string>

// Connection settings of the VeiL controller. The module fills one from its configuration file
// and hands every curlAPI its own copy.
struct conf {
  std::string url;             // base URL of the controller; every request path is appended
  std::string username;        // API user sent at login
  std::string password;        // API password sent at login; never logged
  std::string module_vm_name;  // name of the VM this module runs in
  std::string module_vm_id;    // controller id of that VM, found by name in the domain list
  std::string ca_info;         // CA bundle that verifies the controller
  bool enable_ssl = false;     // verify the controller against ca_info
  int32_t timeout = 1;         // seconds allowed for one request; 0 means no limit
  bool curl_verbose = false;   // libcurl's verbose output and a line with each request's URL
};
