#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "port_map/port_map.h"
#include "support/test_line.h"

namespace qel::test {

// The preload library lives in Wine's process, out of this program's sight;
// the environment Wine passes on still names it.
bool OverPseudoTerminal() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "qel_modem_lines") != nullptr;
}

std::string PortMapFolder() {
    char folder[MAX_PATH];
    const DWORD n = GetTempPathA(sizeof folder, folder);
    return n > 0 && n < sizeof folder ? std::string(folder) : std::string(".\\");
}

void SetPortMapVariable(const std::string& path) { _putenv_s(kPortMapVariable, path.c_str()); }

// ser2net serves a pty with modem lines, which the Windows leg reaches only through its relay.
std::string Ser2netMissing() { return "the ser2net run is for the Linux legs"; }

std::string ServeSer2netLine(bcuemu::Bcu&) { return ""; }

// The emulated FT1.2 interface serves a pty, which the Windows leg reaches only through its relay.
std::string Ft12Missing() { return "the FT1.2 run is for the Linux legs"; }

std::string ServeFt12Line(bcuemu::Ft12Interface&) { return ""; }

void EndSer2netLine(const std::string&) {}

}  // namespace qel::test
