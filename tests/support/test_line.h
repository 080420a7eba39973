// The kind of line the tests run the driver over: the virtual line, or, when
// the test preload library that gives pseudo terminals modem lines is loaded
// (LD_PRELOAD), a pty (the driver's tty backend). Under Wine the program
// cannot see that library: QEL_TEST_LINE=pty says it, and the pty is reached
// as a COM port (the COM backend) through a relay. One suite, both lines.
#pragma once

#include <string>

#include "bcuemu/bcu.h"

namespace qel::test {

bool OverPseudoTerminal();
// Starts `bcu` serving on the line this run is for; the port name, or "".
std::string ServeTestLine(bcuemu::Bcu& bcu);
// Starts `bcu` serving on a pty; the port name that reaches it from this
// process, or "" (the reason on stderr or in LastError()).
std::string ServePtyLine(bcuemu::Bcu& bcu);

}  // namespace qel::test
