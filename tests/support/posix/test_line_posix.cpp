#include <dlfcn.h>

#include <cstdlib>

#include "port_map/port_map.h"
#include "support/test_line.h"

namespace qel::test {

bool OverPseudoTerminal() { return dlsym(RTLD_DEFAULT, "qel_modem_lines_loaded") != nullptr; }

std::string ServePtyLine(bcuemu::Bcu& bcu) { return bcu.ServePty(); }

std::string PortMapFolder() { return "/tmp/"; }

void SetPortMapVariable(const std::string& path) { setenv(kPortMapVariable, path.c_str(), 1); }

}  // namespace qel::test
