// eibhost: a small host for the qeleib driver, to try, demonstrate and accept
// it without the real process-control host.
#include <cstdio>

#include "discovery.h"
#include "driver_library.h"
#include "options.h"
#include "session.h"
#include "session_file.h"
#include "terminal.h"

using namespace eibhost;

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "eibhost: %s\n\n%s", error.c_str(), UsageText().c_str());
        return kBadInput;
    }
    if (options.help) {
        std::printf("%s", UsageText().c_str());
        return kSuccess;
    }
    if (options.discover) {
        return Discover(options.discoverTarget.empty() ? kSearchAddress : options.discoverTarget, options.discoverMs);
    }
    SessionPlan plan;
    try {
        BuildPlan(options, plan);
    } catch (const InputError& problem) {
        std::fprintf(stderr, "eibhost: %s\n", problem.what());
        return kBadInput;
    }
    if (plan.instances.empty() && !options.describeOnly) {
        std::fprintf(stderr, "eibhost: no instance to start: give --port NAME or a file with [[instance]]\n");
        return kBadInput;
    }

    qel::loader::LibraryPaths paths = qel::loader::DefaultLibraryPaths();
    if (!options.hostLibraryPath.empty()) paths.hostLibrary = options.hostLibraryPath;
    if (!options.driverPath.empty()) paths.driver = options.driverPath;
    qel::loader::DriverLibrary driver;
    if (!driver.Load(paths, error)) {
        std::fprintf(stderr, "eibhost: %s\n", error.c_str());
        return kLoadFailed;
    }

    Session session(driver, plan, options.monitor);
    std::string description;
    bool usable = session.Describe(description);
    const std::string header = "eibhost: host library " + paths.hostLibrary + "\neibhost: driver " + paths.driver +
                               "\n" + description;
    if (options.describeOnly || !usable) {
        std::printf("%s\n", header.c_str());
        return usable ? kSuccess : kLoadFailed;
    }
    bool interactive = options.scriptFile.empty() || plan.steps.empty();
    bool live = !options.lineOutput && StdoutIsTerminal() && EnableAnsiOutput();
    return session.Run(interactive, live, header);
}
