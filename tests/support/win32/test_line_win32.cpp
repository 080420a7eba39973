#include <cstdlib>
#include <cstring>

#include "support/test_line.h"

namespace qel::test {

// The preload library lives in Wine's process, out of this program's sight;
// the environment Wine passes on still names it.
bool OverPseudoTerminal() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "qel_modem_lines") != nullptr;
}

// The Windows build reaches no network serial server yet.
std::string ServeTcpLine(bcuemu::Bcu&) { return ""; }

}  // namespace qel::test
