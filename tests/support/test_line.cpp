#include "support/test_line.h"

namespace qel::test {

std::string ServeTestLine(bcuemu::Bcu& bcu) { return OverPseudoTerminal() ? bcu.ServePty() : bcu.Serve(); }

}  // namespace qel::test
