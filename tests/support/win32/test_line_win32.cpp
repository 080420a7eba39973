#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "serial/port_map.h"
#include "support/test_line.h"

namespace qel::test {

// The preload library lives in Wine's process, out of this program's sight;
// the environment Wine passes on still names it.
bool OverPseudoTerminal() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "qel_modem_lines") != nullptr;
}

std::string ServeTcpLine(bcuemu::Bcu& bcu) {
    const std::string address = bcu.ServeTcp();
    if (address.empty()) return "";
    static std::mutex lock;
    static int lines = 0;
    std::lock_guard guard(lock);
    char directory[MAX_PATH];
    const DWORD n = GetTempPathA(sizeof directory, directory);
    if (n == 0 || n >= sizeof directory) return "";
    const std::string path = std::string(directory) + "qel-ports-" + std::to_string(GetCurrentProcessId());
    std::FILE* map = std::fopen(path.c_str(), lines == 0 ? "w" : "a");
    if (map == nullptr) return "";
    const std::string name = "TCP" + std::to_string(++lines);
    std::fprintf(map, "%s = rfc2217://%s\n", name.c_str(), address.c_str());
    std::fclose(map);
    if (lines == 1) _putenv_s(kPortMapVariable, path.c_str());
    return name;
}

}  // namespace qel::test
