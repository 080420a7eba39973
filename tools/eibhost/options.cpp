#include "options.h"

#include "abi/records.h"
#include "group_address.h"
#include "session_file.h"

namespace eibhost {

std::string UsageText() {
    return "Usage: eibhost [OPTIONS] [SESSION.toml]\n"
           "Loads the host library and the qeleib driver as the process-control host does,\n"
           "starts driver instances, shows their gates live and runs commands or a script.\n"
           "\n"
           "  --port NAME          the port of the next instance (repeatable): NULLDEV (no hardware),\n"
           "                       a serial device (/dev/ttyS0, COM1) or a bcusim line (./b1, \\\\.\\pipe\\b1);\n"
           "                       the first ones replace the ports the session files name, in order,\n"
           "                       the others start more instances\n"
           "  --gate ADDRESS[@N]   declare a gate on instance N (default 1), e.g. A_01/0002@2 or 1/2/3@2\n"
           "  --gates FILE         instances and gates from a TOML file\n"
           "  --script FILE        run the steps of a TOML file, then stop and exit:\n"
           "                       status 0 only when every step succeeded\n"
           "  SESSION.toml         a file with [[step]]s is a script, otherwise a gate file\n"
           "  --read-timeout N     read time-out of --port instances, units of 10 ms (default 100)\n"
           "  --driver PATH        the driver library (default: beside eibhost)\n"
           "  --hostlib PATH       the host library (default: beside eibhost)\n"
           "  --describe           describe the driver (code 14) and exit\n"
           "  --lines              plain line output even on a terminal\n"
           "  --monitor            print only the group telegrams the instances receive, as knxd's\n"
           "                       group monitor does: Write from 1.1.5 to 1/2/3: 2A\n"
           "  --discover [ADDRESS[:PORT]]\n"
           "                       search for KNXnet/IP servers (default: multicast to 224.0.23.12:3671)\n"
           "                       and list each that answers on one line, then exit:\n"
           "                       name | control endpoint | individual address | serial | services\n"
           "  --discover-time MS   how long --discover waits for answers (default 3000)\n"
           "  --help               this text\n"
           "\n"
           "Without --script, commands are read from the input; type 'help' for the list.\n"
           "Exit status: 0 success, 1 a step failed, 2 bad input, 3 the libraries could not be loaded.\n";
}

bool ParseOptions(int argc, char** argv, Options& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& target) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            target = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--describe") {
            options.describeOnly = true;
        } else if (arg == "--lines") {
            options.lineOutput = true;
        } else if (arg == "--monitor") {
            options.monitor = true;
        } else if (arg == "--driver") {
            if (!value(options.driverPath)) return false;
        } else if (arg == "--hostlib") {
            if (!value(options.hostLibraryPath)) return false;
        } else if (arg == "--script") {
            if (!value(options.scriptFile)) return false;
        } else if (arg == "--gates") {
            if (!value(text)) return false;
            options.gateFiles.push_back(text);
        } else if (arg == "--port") {
            if (!value(text)) return false;
            if (text.empty() || text.size() >= qel::kPortNameSize) {
                error = "--port " + text + ": a port name has 1 to 11 characters";
                return false;
            }
            options.ports.push_back(text);
        } else if (arg == "--gate") {
            if (!value(text)) return false;
            options.gates.push_back(text);
        } else if (arg == "--discover") {
            options.discover = true;
            if (i + 1 < argc && argv[i + 1][0] != '-') options.discoverTarget = argv[++i];
        } else if (arg == "--discover-time") {
            if (!value(text)) return false;
            try {
                options.discoverMs = std::stoi(text);
            } catch (const std::exception&) {
                options.discoverMs = -1;
            }
            if (options.discoverMs <= 0 || options.discoverMs > 600000) {
                error = "--discover-time needs milliseconds from 1 to 600000";
                return false;
            }
        } else if (arg == "--read-timeout") {
            if (!value(text)) return false;
            try {
                options.readTimeout = static_cast<uint32_t>(std::stoul(text));
            } catch (const std::exception&) {
                error = "--read-timeout needs a number";
                return false;
            }
        } else if (!arg.empty() && arg[0] == '-') {
            error = "unknown option " + arg;
            return false;
        } else if (options.scriptFile.empty()) {
            options.scriptFile = arg;
        } else {
            error = "more than one session file: " + options.scriptFile + " and " + arg;
            return false;
        }
    }
    return true;
}

void BuildPlan(const Options& options, SessionPlan& plan) {
    for (const std::string& file : options.gateFiles) ReadSessionFile(file, plan, false);
    if (!options.scriptFile.empty()) ReadSessionFile(options.scriptFile, plan, true);
    // The first --port options take the place of the ports the files name, in
    // order (the same session on \\.\pipe\b1 or COM1); the rest start instances.
    const size_t fromFiles = plan.instances.size();
    for (size_t i = 0; i < options.ports.size(); ++i) {
        const std::string& port = options.ports[i];
        if (i < fromFiles) {
            plan.instances[i].port = port;
            continue;
        }
        InstancePlan instance;
        instance.port = port;
        instance.readTimeout = options.readTimeout;
        instance.where = {"--port", static_cast<int>(plan.instances.size() + 1)};
        plan.instances.push_back(instance);
    }
    for (const std::string& text : options.gates) {
        GatePlan gate;
        gate.address = text;
        gate.where = {"--gate " + text, 0};
        size_t at = text.rfind('@');
        if (at != std::string::npos) {
            gate.address = text.substr(0, at);
            try {
                gate.instance = std::stoi(text.substr(at + 1));
            } catch (const std::exception&) {
                gate.instance = 0;
            }
            if (gate.instance < 1) throw InputError("--gate " + text + ": the instance after @ is a number from 1");
        }
        std::string error;
        gate.address = GateAddressOf(gate.address, error);
        if (!error.empty()) throw InputError("--gate " + text + ": " + error);
        if (gate.address.empty() || gate.address.size() > 9) {
            throw InputError("--gate " + text + ": an address has 1 to 9 characters");
        }
        plan.gates.push_back(gate);
    }
    // Without any instance there is nothing to check against; the caller says so.
    if (!plan.instances.empty()) CheckPlan(plan);
}

}  // namespace eibhost
