// bcusim: emulated BCUs on virtual serial lines, all on one emulated bus,
// for running the driver (or eibhost) without hardware.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "command.h"
#include "scenario.h"
#include "simulation.h"

namespace {

constexpr const char* kUsage =
    "usage: bcusim [options] [SCENARIO.toml]\n"
    "\n"
    "Serves one virtual serial line per emulated BCU, all on one emulated bus, and\n"
    "prints every telegram that crosses the bus, one a line. Give the driver the\n"
    "port name printed for each line (\"line 1: /tmp/q1a2b3\").\n"
    "\n"
    "options:\n"
    "  --line ENDPOINT        serve a line here (repeatable): a socket path of at most\n"
    "                         11 characters, or \\\\.\\pipe\\XX on Windows; default: picked\n"
    "  --lines N              serve at least N lines\n"
    "  --pty                  serve each line on a pseudo terminal with modem lines\n"
    "                         instead (Linux; the port's process needs the test\n"
    "                         preload library libqel_modem_lines.so); --line then\n"
    "                         names a symlink to the terminal\n"
    "  --ft12 emi2|cemi       with --pty: serve FT1.2 (19200 baud 8E1, no modem lines,\n"
    "                         no preload library needed) instead of the BCU's byte\n"
    "                         handshake: emi2 as a BCU2 in FT1.2 mode (knxd -b ft12:),\n"
    "                         cemi as a cEMI module (knxd -b ft12cemi:, knxultimate\n"
    "                         SerialFT12). bcusim prints \"line N ft12: reset of the\n"
    "                         link\" and \"line N ft12: link layer\" as the PC asks\n"
    "  --realistic            real serial and bus timing (9600 bit/s)\n"
    "  --cts-drop-after-rts   the BCU drops CTS only when the driver drops RTS\n"
    "  --announcement-times-out  an announced frame (CTS up) the driver leaves\n"
    "                         unanswered is given up after the message time-out\n"
    "                         and announced again\n"
    "  --reaction-us N        the BCU reacts N us after each line change (default:\n"
    "                         0, or 0-3000 drawn per reaction with --realistic)\n"
    "  --queue-limit N        at most N frames wait for the driver; further ones\n"
    "                         are dropped, as by a real BCU's small buffer\n"
    "  --own-header-answer    a frame ready during the driver's header is announced\n"
    "                         by answering that header with its own\n"
    "  --vcd FILE             at exit, write the line's value change dump to FILE\n"
    "                         (several lines: FILE-1.vcd, FILE-2.vcd ...)\n"
    "  --duration SECONDS     stop after this long (default: until quit or a signal)\n"
    "  --ready-file PATH      once every line listens, write the port names there,\n"
    "                         one a line\n"
    "  --knxnet ADDRESS[:PORT]  also serve the bus as a KNXnet/IP tunnelling server\n"
    "                         on UDP and TCP, same address and port (knxd -b ipt:...,\n"
    "                         ETS): loopback addresses only, e.g. 127.0.0.1:3671 (the\n"
    "                         default port); port 0 picks a free one. Each tunnel sees\n"
    "                         every telegram on the bus and may send on it. Search and\n"
    "                         description requests are answered by unicast\n"
    "  --knxnet-any-address   let --knxnet take any unicast address. ONLY inside a\n"
    "                         network namespace a test made for itself (unshare -n,\n"
    "                         as knxultimate_knxnet_check.sh does): bcusim cannot\n"
    "                         tell, and a real network would see the server\n"
    "  --knxnet-routing GROUP[:PORT]  also route the bus as a KNXnet/IP router on\n"
    "                         the multicast group (port 3671 when not given, 0: a\n"
    "                         free one): ROUTING_INDICATION both ways; the commands\n"
    "                         busy and lost send ROUTING_BUSY and ROUTING_LOST_MESSAGE.\n"
    "                         Multicast reaches the network: ONLY inside a network\n"
    "                         namespace a test made for itself\n"
    "  --knxnet-if ADDRESS    the router's interface, by its local address\n"
    "  --knxnet-secure DIR    with --knxnet: TCP tunnels only inside KNX IP Secure\n"
    "                         sessions; with --knxnet-routing: KNX IP Secure routing\n"
    "                         (the keyring's backbone key). Demo credentials; writes\n"
    "                         the driver's DIR/bcusim.secure and DIR/bcusim.knxkeys\n"
    "  --help                 this text\n"
    "\n"
    "scenario (TOML):\n"
    "  [bus]     realistic = true|false\n"
    "  [[line]]  endpoint = \"/tmp/b1\", address = \"1.1.250\"\n"
    "  [[device]] name = \"...\", group = \"1/0/1\", size = \"bit\"|\"byte\"|\"word\", value = 0,\n"
    "            address = \"1.1.10\", answers_reads = true,\n"
    "            every = SECONDS, start = SECONDS, values = [1, 0]   (sent in turn)\n"
    "            or step = N, from = A, to = B                      (a ramp that wraps)\n"
    "            word values may be floats (21.5): 2-byte float encoding\n"
    "  [[script]] at = SECONDS, command = \"write 1/0/1 1\"\n"
    "\n";

std::atomic<bool> interrupted{false};
std::mutex outputMutex;

void Print(const std::string& line) {
    std::lock_guard lock(outputMutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void OnSignal(int) { interrupted = true; }

bool WriteReadyFile(const std::string& path, const std::vector<std::string>& ports) {
    const std::string temporary = path + ".tmp";
    std::FILE* f = std::fopen(temporary.c_str(), "wb");
    if (!f) return false;
    for (const std::string& p : ports) std::fprintf(f, "%s\n", p.c_str());
    if (std::fclose(f) != 0) return false;
    std::remove(path.c_str());
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    bcusim::Settings settings;
    std::string scenarioPath, vcdPath, readyFile;
    double duration = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "bcusim: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::puts(bcusim::Simulation::Help());
            return 0;
        } else if (a == "--line") {
            settings.endpoints.push_back(next());
        } else if (a == "--lines") {
            settings.lineCount = std::atoi(next().c_str());
        } else if (a == "--pty") {
            settings.pty = true;
        } else if (a == "--ft12") {
            settings.ft12 = next();
            if (settings.ft12 != "emi2" && settings.ft12 != "cemi") {
                std::fprintf(stderr, "bcusim: --ft12 takes emi2 or cemi\n");
                return 2;
            }
        } else if (a == "--realistic") {
            settings.realistic = true;
        } else if (a == "--cts-drop-after-rts") {
            settings.ctsDropAfterRts = true;
        } else if (a == "--announcement-times-out") {
            settings.announcementTimesOut = true;
        } else if (a == "--reaction-us") {
            settings.reactionUs = std::atoi(next().c_str());
        } else if (a == "--queue-limit") {
            settings.queueLimit = static_cast<unsigned>(std::atoi(next().c_str()));
        } else if (a == "--own-header-answer") {
            settings.answerHeaderWithOwnHeader = true;
        } else if (a == "--vcd") {
            vcdPath = next();
        } else if (a == "--duration") {
            duration = std::atof(next().c_str());
        } else if (a == "--knxnet") {
            settings.knxnet = next();
        } else if (a == "--knxnet-routing") {
            settings.knxnetRouting = next();
        } else if (a == "--knxnet-if") {
            settings.knxnetInterface = next();
        } else if (a == "--knxnet-secure") {
            settings.knxnetSecure = next();
        } else if (a == "--knxnet-any-address") {
            settings.knxnetAnyAddress = true;
        } else if (a == "--ready-file") {
            readyFile = next();
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "bcusim: unknown option %s (try --help)\n", a.c_str());
            return 2;
        } else if (scenarioPath.empty()) {
            scenarioPath = a;
        } else {
            std::fprintf(stderr, "bcusim: one scenario only\n");
            return 2;
        }
    }

    if (!settings.ft12.empty() && !settings.pty) {
        std::fprintf(stderr, "bcusim: --ft12 serves a pseudo terminal: give --pty too\n");
        return 2;
    }

    if (!settings.knxnetInterface.empty() && settings.knxnetRouting.empty()) {
        std::fprintf(stderr, "bcusim: --knxnet-if goes with --knxnet-routing\n");
        return 2;
    }

    if (!settings.knxnetSecure.empty() && settings.knxnet.empty() && settings.knxnetRouting.empty()) {
        std::fprintf(stderr, "bcusim: --knxnet-secure goes with --knxnet or --knxnet-routing\n");
        return 2;
    }
    if (settings.knxnetAnyAddress && settings.knxnet.empty()) {
        std::fprintf(stderr, "bcusim: --knxnet-any-address goes with --knxnet\n");
        return 2;
    }

    bcusim::Scenario scenario;
    if (!scenarioPath.empty()) {
        try {
            scenario = bcusim::LoadScenario(scenarioPath);
        } catch (const bcusim::ScenarioError& e) {
            std::fprintf(stderr, "%s\n", e.what());
            return 2;
        }
        for (const bcusim::ScriptStep& step : scenario.script) {
            bcusim::Command c;
            std::string error;
            if (!bcusim::ParseCommand(step.command, c, error)) {
                std::fprintf(stderr, "%s:%d: %s\n", scenarioPath.c_str(), step.line, error.c_str());
                return 2;
            }
        }
    }

    settings.record = !vcdPath.empty();
    bcusim::Simulation simulation(std::move(scenario), settings, Print);
    std::string error;
    if (!simulation.Start(error)) {
        std::fprintf(stderr, "bcusim: %s\n", error.c_str());
        return 1;
    }
    const auto ports = simulation.PortNames();
    for (size_t i = 0; i < ports.size(); ++i) Print("line " + std::to_string(i + 1) + ": " + ports[i]);
    if (!settings.knxnet.empty()) {
        Print("knxnet: tunnelling server on " + simulation.KnxnetEndpoint());
        Print("knxnet: tunnelling over TCP on " + simulation.KnxnetEndpoint());
        if (!settings.knxnetSecure.empty())
            Print("knxnet: TCP tunnels in KNX IP Secure sessions, credentials " + settings.knxnetSecure + "/bcusim.secure");
    }
    if (!settings.knxnetRouting.empty()) {
        Print("knxnet: routing on " + simulation.RoutingGroup());
        if (!settings.knxnetSecure.empty())
            Print("knxnet: KNX IP Secure routing, credentials " + settings.knxnetSecure + "/bcusim.secure");
    }
    if (!readyFile.empty() && !WriteReadyFile(readyFile, ports)) {
        std::fprintf(stderr, "bcusim: cannot write %s\n", readyFile.c_str());
        return 1;
    }

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::atomic<bool> quit{false};
    // Commands from stdin; end of input just ends the commands.
    std::thread([&simulation, &quit] {
        std::string line;
        while (!quit && std::getline(std::cin, line)) {
            bcusim::Command c;
            std::string parseError;
            if (bcusim::ParseCommand(line, c, parseError) && c.kind == bcusim::Command::Kind::kQuit) {
                quit = true;
                break;
            }
            const std::string result = simulation.Execute(line);
            if (!result.empty()) Print(result);
        }
    }).detach();

    const auto started = std::chrono::steady_clock::now();
    while (!quit && !interrupted) {
        if (duration > 0 && std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() >= duration)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a tool's main loop: signals and the clock
    }
    quit = true;
    simulation.Stop();
    int status = 0;
    if (!vcdPath.empty() && !simulation.WriteVcds(vcdPath)) {
        std::fprintf(stderr, "bcusim: cannot write %s\n", vcdPath.c_str());
        status = 1;
    }
    std::fflush(stdout);
    std::_Exit(status);  // the stdin reader may still be blocked in a read
}
