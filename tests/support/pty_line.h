// A BCU served on a pseudo terminal with modem lines, and the port name that
// reaches it from this process: the device path on Linux; under Wine a COM
// port mapped to the terminal, through a relay (tests/pty_bridge). "" when
// this run cannot (the reason on stderr).
#pragma once

#include <string>

#include "bcuemu/bcu.h"

namespace qel::test {

std::string ServePtyLine(bcuemu::Bcu& bcu);

}  // namespace qel::test
