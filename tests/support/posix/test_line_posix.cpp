#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include "port_map/port_map.h"
#include "support/test_line.h"

namespace qel::test {

bool OverPseudoTerminal() { return dlsym(RTLD_DEFAULT, "qel_modem_lines_loaded") != nullptr; }

std::string ServePtyLine(bcuemu::Bcu& bcu) { return bcu.ServePty(); }

std::string Ft12Missing() { return ""; }

std::string ServeFt12Line(bcuemu::Ft12Interface& ft12) {
    const std::string path = ft12.ServePty();
    if (path.empty()) return "";
    const char* kind = std::getenv("QEL_TEST_LINE");
    const bool cemi = kind != nullptr && std::string(kind) == "ft12cemi";
    return MapTestPort("ft12:" + path + (cemi ? "?cemi" : ""));
}

std::string PortMapFolder() { return "/tmp/"; }

void SetPortMapVariable(const std::string& path) { setenv(kPortMapVariable, path.c_str(), 1); }

}  // namespace qel::test
