#include "support/pseudo_terminal.h"

namespace qel::test {

// Windows has no pseudo terminal that the comm functions accept.
std::unique_ptr<PseudoTerminal> PseudoTerminal::open() { return nullptr; }

}  // namespace qel::test
