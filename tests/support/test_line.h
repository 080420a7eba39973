// The kind of line the tests run the driver over: the virtual line; or, when
// the test preload library that gives pseudo terminals modem lines is loaded
// (LD_PRELOAD; under Wine the environment still names it), a pty, reached
// through the tty backend on Linux and as a COM port through a relay under
// Wine; or, with QEL_TEST_LINE=rfc2217, RFC 2217 over TCP on loopback, reached
// through a port map as a network serial server would be; or, with
// QEL_TEST_LINE=knxip, no line at all: a KNXnet/IP tunnel to the emulated
// bus's tunnelling server. One suite, every link.
#pragma once

#include <string>

#include "bcuemu/bcu.h"

namespace qel::test {

bool OverPseudoTerminal();
bool OverTcp();
bool OverTunnel();
// Maps a new short name to `target` in this process's port map (QELEIB_PORTS); the name, or "".
std::string MapTestPort(const std::string& target);
// Starts `bcu` serving on the line this run is for; the port name, or "".
std::string ServeTestLine(bcuemu::Bcu& bcu);
// Starts `bcu` serving on a pty; the port name that reaches it from this
// process, or "" (the reason on stderr or in LastError()).
std::string ServePtyLine(bcuemu::Bcu& bcu);
// Starts `bcu` serving RFC 2217 on TCP and maps a short port name to it in
// this process's port map (QELEIB_PORTS); that name, or "".
std::string ServeTcpLine(bcuemu::Bcu& bcu);

// The platform's part of ServeTcpLine: a folder for this process's port map
// (ending in a separator), and setting QELEIB_PORTS in this process.
std::string PortMapFolder();
void SetPortMapVariable(const std::string& path);

}  // namespace qel::test
