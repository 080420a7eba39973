#include <dlfcn.h>

#include "support/test_line.h"

namespace qel::test {

bool OverPseudoTerminal() { return dlsym(RTLD_DEFAULT, "qel_modem_lines_loaded") != nullptr; }

std::string ServePtyLine(bcuemu::Bcu& bcu) { return bcu.ServePty(); }

}  // namespace qel::test
