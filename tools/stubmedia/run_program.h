// Runs a host program with an argument vector (no shell), its output
// captured to a file; for the outside tools stubmedia drives.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace stubmedia {

struct ProgramResult {
    bool started = false;
    int exitCode = -1;   // when it ended normally
    std::string output;  // standard output and error, together
};

// extraEnv: NAME=value pairs added to this process's environment.
// passThrough: the program writes to this process's standard error (both
// its streams) instead of the captured output.
ProgramResult RunProgram(const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& extraEnv = {},
                         bool passThrough = false);

}  // namespace stubmedia
