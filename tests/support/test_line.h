// The kind of line the tests run the driver over: the virtual line, or, when
// the test preload library that gives pseudo terminals modem lines is loaded
// (LD_PRELOAD), a pty (the driver's tty backend). One suite, both lines.
#pragma once

#include <string>

#include "bcuemu/bcu.h"

namespace qel::test {

bool OverPseudoTerminal();
// Starts `bcu` serving on the line this run is for; the port name, or "".
std::string ServeTestLine(bcuemu::Bcu& bcu);

}  // namespace qel::test
