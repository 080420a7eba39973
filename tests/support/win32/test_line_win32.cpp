#include "support/test_line.h"

namespace qel::test {

// A Windows program holds no pseudo terminal.
bool OverPseudoTerminal() { return false; }

}  // namespace qel::test
