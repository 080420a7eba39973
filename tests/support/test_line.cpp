#include "support/test_line.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "port_map/port_map.h"
#include "support/secure_credentials.h"

namespace qel::test {
namespace {

bool LineKindIs(const char* wanted) {
    const char* kind = std::getenv("QEL_TEST_LINE");
    return kind != nullptr && std::strcmp(kind, wanted) == 0;
}

}  // namespace

bool OverTcp() { return LineKindIs("rfc2217"); }
bool OverTunnel() { return LineKindIs("knxip") || LineKindIs("knxiptcp") || LineKindIs("knxipsecure"); }

std::string TunnelTestTarget(bcuemu::KnxnetServer& server) {
    const std::string endpoint = server.LocalEndpoint();
    if (LineKindIs("knxipsecure")) {
        server.Secure(TestSecureSettings());
        return "knxip://" + endpoint + "?secure=" + TestCredentials();
    }
    return "knxip://" + endpoint + (LineKindIs("knxiptcp") ? "?tcp" : "");
}
bool OverRouting() { return LineKindIs("knxrouting") || LineKindIs("knxroutingsecure"); }

std::string RoutingTestTarget(bcuemu::KnxnetRouter& router) {
    const std::string target = "knxrouting://" + router.GroupEndpoint() + "?if=127.0.0.1";
    if (!LineKindIs("knxroutingsecure")) return target;
    router.Secure(TestBackboneKey());
    return target + "&secure=" + TestRoutingCredentials();
}

bool OverSer2net() { return LineKindIs("ser2net"); }
bool OverFt12() { return LineKindIs("ft12") || LineKindIs("ft12cemi"); }

bool InOwnNetworkNamespace() {
    const char* own = std::getenv("QEL_TEST_NAMESPACE");
    return own != nullptr && std::strcmp(own, "1") == 0;
}

std::string TestLineMissing() {
    if (OverRouting() && !InOwnNetworkNamespace())
        return "multicast only in a network namespace of the run's own (tests/routing_namespace.sh)";
    if (OverSer2net()) return Ser2netMissing();
    return OverFt12() ? Ft12Missing() : "";
}

std::string ServeTestLine(bcuemu::Bcu& bcu) {
    if (OverPseudoTerminal()) return ServePtyLine(bcu);
    if (OverSer2net()) return ServeSer2netLine(bcu);
    return OverTcp() ? ServeTcpLine(bcu) : bcu.Serve();
}

void EndTestLine(const std::string& port) {
    if (OverSer2net()) EndSer2netLine(port);
}

std::string ServeTcpLine(bcuemu::Bcu& bcu) {
    const std::string address = bcu.ServeTcp();
    if (address.empty()) return "";
    return MapTestPort("rfc2217://" + address);
}

std::string MapTestPort(const std::string& target) {
    static std::mutex lock;
    static int lines = 0;
    static std::string path;
    std::lock_guard guard(lock);
    if (lines == 0) {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        path = PortMapFolder() + "qel-ports-" + std::to_string(stamp);
        std::atexit([] { std::remove(path.c_str()); });
    }
    std::FILE* map = std::fopen(path.c_str(), lines == 0 ? "w" : "a");
    if (map == nullptr) return "";
    const std::string name = "MAPPED" + std::to_string(++lines);
    std::fprintf(map, "%s = %s\n", name.c_str(), target.c_str());
    std::fclose(map);
    if (lines == 1) SetPortMapVariable(path);
    return name;
}

}  // namespace qel::test
