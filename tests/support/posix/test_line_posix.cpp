#include <dlfcn.h>

#include "support/test_line.h"

namespace qel::test {

bool OverPseudoTerminal() { return dlsym(RTLD_DEFAULT, "qel_modem_lines_loaded") != nullptr; }

}  // namespace qel::test
