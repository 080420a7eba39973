#include "support/test_line.h"

#include <cstdlib>
#include <cstring>

namespace qel::test {

bool OverTcp() {
    const char* kind = std::getenv("QEL_TEST_LINE");
    return kind != nullptr && std::strcmp(kind, "rfc2217") == 0;
}

std::string ServeTestLine(bcuemu::Bcu& bcu) {
    if (OverPseudoTerminal()) return ServePtyLine(bcu);
    return OverTcp() ? ServeTcpLine(bcu) : bcu.Serve();
}

}  // namespace qel::test
