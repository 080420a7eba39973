#include "support/test_line.h"

namespace qel::test {

std::string ServeTestLine(bcuemu::Bcu& bcu) { return OverPseudoTerminal() ? ServePtyLine(bcu) : bcu.Serve(); }

}  // namespace qel::test
