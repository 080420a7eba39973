#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "serial/port_map.h"
#include "support/test_line.h"

namespace qel::test {

bool OverPseudoTerminal() { return dlsym(RTLD_DEFAULT, "qel_modem_lines_loaded") != nullptr; }

std::string ServePtyLine(bcuemu::Bcu& bcu) { return bcu.ServePty(); }

std::string ServeTcpLine(bcuemu::Bcu& bcu) {
    const std::string address = bcu.ServeTcp();
    if (address.empty()) return "";
    static std::mutex lock;
    static int lines = 0;
    std::lock_guard guard(lock);
    const std::string path = "/tmp/qel-ports-" + std::to_string(getpid());
    std::FILE* map = std::fopen(path.c_str(), lines == 0 ? "w" : "a");
    if (map == nullptr) return "";
    const std::string name = "TCP" + std::to_string(++lines);
    std::fprintf(map, "%s = rfc2217://%s\n", name.c_str(), address.c_str());
    std::fclose(map);
    if (lines == 1) {
        setenv(kPortMapVariable, path.c_str(), 1);
        std::atexit([] { unlink(("/tmp/qel-ports-" + std::to_string(getpid())).c_str()); });
    }
    return name;
}

}  // namespace qel::test
