#pragma once

// A data mover for the framework's unit tests: a /bin/sh script that records the arguments it
// was given (one per line), its umask and its working directory, prints a pid and a progress
// line and exits with a chosen status. Composed command lines name the real data mover under
// /opt; the tests put the script's path in its place, so nothing under /opt is ever run.

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace module_test {

class RecordingDataMover {
 public:
  explicit RecordingDataMover(const std::string& directory, int exit_status = 0) : m_directory(directory) {
    kv_test::write_file(program(),
                        "#!/bin/sh\n"
                        "for argument in \"$@\"; do printf '%s\\n' \"$argument\"; done > '" + directory + "/args'\n"
                        "umask > '" + directory + "/umask'\n"
                        "pwd > '" + directory + "/cwd'\n"
                        "echo \"KVFD PID: $$\"\n"
                        "echo 'Packed: 100%'\n"
                        "echo 'some diagnostics'\n"
                        "exit " + std::to_string(exit_status) + "\n",
                        0755);
  }

  std::string program() const { return m_directory + "/kvfd"; }

  // The command with the script in place of the real data mover.
  std::string in_place_of_kvfd(std::string command) const {
    const std::string real = "/opt/kelvanor/bin/kvfd";
    const size_t at = command.find(real);
    EXPECT_NE(at, std::string::npos) << command;
    if (at != std::string::npos) command.replace(at, real.size(), program());
    EXPECT_EQ(command.find("/opt/kelvanor/bin/kvfd"), std::string::npos) << command;
    return command;
  }

  std::vector<std::string> arguments() const {
    std::istringstream text(kv_test::read_file(m_directory + "/args"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }
  std::string umask() const { return kv_test::read_file(m_directory + "/umask"); }
  std::string working_directory() const { return kv_test::read_file(m_directory + "/cwd"); }
  bool ran() const { return kv_test::file_exists(m_directory + "/args"); }

 private:
  std::string m_directory;
};

}  // namespace module_test
