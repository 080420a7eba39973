// ser2net (4.x) as the network serial server in front of an emulated BCU: the
// BCU serves a pty with modem lines, ser2net serves that terminal as
// telnet(rfc2217) on 127.0.0.1, and the driver reaches it through the port
// map. ser2net is a program of the build machine (64-bit where the tests are
// i386), so it gets the native build of the preload library
// (QEL_SER2NET_PRELOAD): its modem ioctls on the terminal reach the BCU.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/test_line.h"

extern char** environ;

namespace qel::test {
namespace {

#ifdef QEL_SER2NET_PRELOAD
constexpr char kPreload[] = QEL_SER2NET_PRELOAD;
#else
constexpr char kPreload[] = "";
#endif
constexpr uint32_t kStartLimitMs = 10000;
constexpr int kStopLimitMs = 5000;
// A free port found here may be taken before ser2net binds it: try another.
constexpr int kPortAttempts = 3;
// ser2net's admin interface on its standard input and output prompts with
// this once the configuration's accepters listen.
constexpr char kAdminPrompt[] = "-> ";

struct Server {
    pid_t pid = -1;
    int admin = -1;   // ser2net's standard input, held open while it runs
    int output = -1;  // its standard output and error
    std::string config;
    std::string port;  // the port name mapped to it
};

std::mutex serversLock;

std::vector<Server>& Servers() {
    static std::vector<Server> servers;
    return servers;
}

std::string Fail(const std::string& why) {
    std::fprintf(stderr, "ser2net line: %s\n", why.c_str());
    return "";
}

std::string FindSer2net() {
    // Debian puts it in /usr/sbin, which a user's PATH may lack.
    std::string dirs = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    dirs += ":/usr/local/sbin:/usr/sbin:/sbin";
    for (size_t at = 0; at <= dirs.size();) {
        const size_t end = std::min(dirs.find(':', at), dirs.size());
        const std::string candidate = dirs.substr(at, end - at) + "/ser2net";
        if (end > at && access(candidate.c_str(), X_OK) == 0) return candidate;
        at = end + 1;
    }
    return "";
}

uint16_t FreeTcpPort() {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (s >= 0) close(s);
    return port;
}

// The configuration a site would write, on loopback: see docs/ser2net.md.
bool WriteConfig(const std::string& path, const std::string& device, uint16_t port) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    std::fprintf(f,
                 "%%YAML 1.1\n"
                 "---\n"
                 "connection: &bcu\n"
                 "  accepter: telnet(rfc2217),tcp,127.0.0.1,%u\n"
                 "  connector: serialdev,%s,9600n81,local\n"
                 "  options:\n"
                 "    chardelay: false\n",
                 port, device.c_str());
    return std::fclose(f) == 0;
}

// Ends the process: SIGTERM, and SIGKILL if it has not gone in time (a
// ser2net whose accepter failed to start never finishes its shutdown).
void Stop(Server& server) {
    if (server.admin >= 0) close(server.admin);
    if (server.pid > 0) {
        kill(server.pid, SIGTERM);
        const int exited = static_cast<int>(syscall(SYS_pidfd_open, server.pid, 0));
        pollfd pfd{exited, POLLIN, 0};
        if (exited < 0 || poll(&pfd, 1, kStopLimitMs) != 1) kill(server.pid, SIGKILL);
        if (exited >= 0) close(exited);
        waitpid(server.pid, nullptr, 0);
    }
    if (server.output >= 0) close(server.output);
    if (!server.config.empty()) std::remove(server.config.c_str());
    server = Server{};
}

void StopAll() {
    std::lock_guard guard(serversLock);
    for (Server& server : Servers()) Stop(server);
    Servers().clear();
}

// Reads ser2net's output until its admin prompt; false when it ended, failed
// to listen, or did not come in time. `said` gets what it wrote.
bool AwaitPrompt(const Server& server, std::string& said) {
    const uint32_t start = platform::NativeSystem().tickMs();
    for (;;) {
        if (said.find("Unable to startup") != std::string::npos) return false;
        if (said.find(kAdminPrompt) != std::string::npos) return true;
        const uint32_t elapsed = platform::NativeSystem().tickMs() - start;
        if (elapsed >= kStartLimitMs) return false;
        pollfd pfd{server.output, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(kStartLimitMs - elapsed)) < 0 && errno != EINTR) return false;
        char buffer[512];
        const ssize_t got = read(server.output, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return false;
        if (got > 0) said.append(buffer, static_cast<size_t>(got));
    }
}

// Starts ser2net on `config`; its pid and pipes in `server`.
bool Start(const std::string& program, Server& server) {
    int input[2];
    int output[2];
    if (pipe2(input, O_CLOEXEC) != 0) return false;
    if (pipe2(output, O_CLOEXEC) != 0) {
        close(input[0]);
        close(input[1]);
        return false;
    }
    // Its log must never stop it: past what the pipe holds, lines are dropped.
    fcntl(output[1], F_SETFL, fcntl(output[1], F_GETFL) | O_NONBLOCK);
    fcntl(output[0], F_SETFL, fcntl(output[0], F_GETFL) | O_NONBLOCK);

    // -d: in the foreground, errors on standard output; -u: no UUCP lock files;
    // -p stdio: the admin interface on the pipes, whose prompt says it is up.
    std::vector<std::string> words = {program, "-d", "-u", "-p", "stdio", "-c", server.config};
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    std::vector<std::string> settings;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0) settings.emplace_back(*e);
    }
    settings.push_back(std::string("LD_PRELOAD=") + kPreload);
    std::vector<char*> envp;
    for (std::string& s : settings) envp.push_back(s.data());
    envp.push_back(nullptr);

    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
        // Only async-signal-safe calls here. ser2net ends with the thread
        // that started it, even one that dies without its exit handlers.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(126);
        dup2(input[0], 0);
        dup2(output[1], 1);
        dup2(output[1], 2);
        // Descriptors of this process without close-on-exec (the emulator's
        // sockets) would keep its connections open in ser2net.
        syscall(SYS_close_range, 3u, ~0u, 0u);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(input[0]);
    close(output[1]);
    if (child < 0) {
        close(input[1]);
        close(output[0]);
        return false;
    }
    server.pid = child;
    server.admin = input[1];
    server.output = output[0];
    return true;
}

}  // namespace

std::string Ser2netMissing() {
    return FindSer2net().empty() ? "ser2net is not installed (apt-get install ser2net): the ser2net run is skipped" : "";
}

std::string ServeSer2netLine(bcuemu::Bcu& bcu) {
    if (const std::string missing = Ser2netMissing(); !missing.empty()) return Fail(missing);
    if (access(kPreload, R_OK) != 0) return Fail(std::string("no native preload library ") + kPreload);
    const std::string device = bcu.ServePty();
    if (device.empty()) return Fail(bcu.LastError());
    static int served = 0;
    std::lock_guard guard(serversLock);
    // The list is made before the handler is registered, so it outlives the handler.
    if (served++ == 0 && Servers().empty()) std::atexit(StopAll);
    std::string said;
    for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
        const uint16_t port = FreeTcpPort();
        Server server;
        server.config = "/tmp/qel-ser2net-" + std::to_string(getpid()) + "-" + std::to_string(served) + ".yaml";
        if (port == 0 || !WriteConfig(server.config, device, port)) return Fail("cannot write " + server.config);
        said.clear();
        if (!Start(FindSer2net(), server)) {
            Stop(server);
            return Fail("cannot start ser2net");
        }
        if (!AwaitPrompt(server, said)) {
            Stop(server);
            continue;
        }
        // Read by now: nothing is left behind by a run that dies.
        std::remove(server.config.c_str());
        server.config.clear();
        server.port = MapTestPort("rfc2217://127.0.0.1:" + std::to_string(port));
        if (server.port.empty()) {
            Stop(server);
            return Fail("cannot write the port map");
        }
        Servers().push_back(server);
        return server.port;
    }
    return Fail("ser2net did not come up on " + device + ": " + said);
}

void EndSer2netLine(const std::string& port) {
    std::lock_guard guard(serversLock);
    std::vector<Server>& servers = Servers();
    for (auto it = servers.begin(); it != servers.end(); ++it) {
        if (it->port != port) continue;
        Stop(*it);
        servers.erase(it);
        return;
    }
}

}  // namespace qel::test
