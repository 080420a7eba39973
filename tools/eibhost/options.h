// eibhost's command line.
#pragma once

#include <string>
#include <vector>

#include "session_plan.h"

namespace eibhost {

struct Options {
    std::string driverPath;    // empty: the default
    std::string hostLibraryPath;
    std::vector<std::string> gateFiles;
    std::string scriptFile;
    std::vector<std::string> ports;
    std::vector<std::string> gates;  // ADDRESS or ADDRESS@N
    uint32_t readTimeout = 100;
    bool describeOnly = false;
    bool lineOutput = false;
    bool monitor = false;  // telegrams alone, as knxtool's group monitor prints them
    bool help = false;
    bool discover = false;  // search for KNXnet/IP servers and list them, nothing else
    std::string discoverTarget;  // ADDRESS[:PORT]; empty: the KNXnet/IP multicast address
    int discoverMs = 3000;
};

// Fills `options`; false with `error` set on a bad command line.
bool ParseOptions(int argc, char** argv, Options& options, std::string& error);
// Adds what the options name (files, ports, gates) to `plan`. Throws InputError.
void BuildPlan(const Options& options, SessionPlan& plan);
std::string UsageText();

}  // namespace eibhost
