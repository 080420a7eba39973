// The kind of line the tests run the driver over: the virtual line; or, when
// the test preload library that gives pseudo terminals modem lines is loaded
// (LD_PRELOAD; under Wine the environment still names it), a pty, reached
// through the tty backend on Linux and as a COM port through a relay under
// Wine; or, with QEL_TEST_LINE=rfc2217, RFC 2217 over TCP on loopback, reached
// through a port map as a network serial server would be; or, with
// QEL_TEST_LINE=ser2net, the same through ser2net in front of a pty (Linux);
// or, with QEL_TEST_LINE=knxip, no line at all: a KNXnet/IP tunnel to the
// emulated bus's tunnelling server (knxiptcp: the tunnel over TCP;
// knxipsecure: over TCP in a KNX IP Secure session); or, with
// QEL_TEST_LINE=knxrouting, KNXnet/IP routing with the emulated bus's router
// on a multicast group (knxroutingsecure: KNX IP Secure routing), only inside
// a network namespace of the run's own (QEL_TEST_NAMESPACE=1, which
// routing_namespace.sh sets there); or, with QEL_TEST_LINE=ft12 (ft12cemi), an
// emulated FT1.2 interface with EMI2 (cEMI) on a pty instead of the BCU. One
// suite, every link.
#pragma once

#include <string>

#include "bcuemu/bcu.h"
#include "bcuemu/ft12_interface.h"
#include "bcuemu/knxnet_router.h"
#include "bcuemu/knxnet_server.h"

namespace qel::test {

// In a network namespace of the run's own (routing_namespace.sh): multicast may go out.
bool InOwnNetworkNamespace();
bool OverPseudoTerminal();
bool OverTcp();
bool OverTunnel();
// The knxip:// target of the tunnelling server `server`, with ?tcp on the
// knxiptcp runs; on the knxipsecure runs the server made secure and the
// target naming the test credentials (support/secure_credentials.h).
std::string TunnelTestTarget(bcuemu::KnxnetServer& server);
bool OverRouting();
// The knxrouting:// target of the running router `router` on the interface
// 127.0.0.1; on the knxroutingsecure runs the router made secure and the
// target naming the test credentials.
std::string RoutingTestTarget(bcuemu::KnxnetRouter& router);
bool OverSer2net();
bool OverFt12();
// Maps a new short name to `target` in this process's port map (QELEIB_PORTS); the name, or "".
std::string MapTestPort(const std::string& target);
// Why this run's kind of line cannot be had on this machine (a server it
// needs is not installed), or "": the cases skip then.
std::string TestLineMissing();
// Starts `bcu` serving on the line this run is for; the port name, or "".
std::string ServeTestLine(bcuemu::Bcu& bcu);
// Ends what ServeTestLine started beside the BCU for `port` (a ser2net); the
// BCU is the caller's to stop.
void EndTestLine(const std::string& port);
// Starts `bcu` serving on a pty; the port name that reaches it from this
// process, or "" (the reason on stderr or in LastError()).
std::string ServePtyLine(bcuemu::Bcu& bcu);
// Starts `bcu` serving RFC 2217 on TCP and maps a short port name to it in
// this process's port map (QELEIB_PORTS); that name, or "".
std::string ServeTcpLine(bcuemu::Bcu& bcu);
// Starts `bcu` serving a pty and ser2net serving that terminal as RFC 2217 on
// TCP, mapped as by ServeTcpLine; that name, or "" (the reason on stderr).
std::string ServeSer2netLine(bcuemu::Bcu& bcu);
// Why ser2net cannot run here, or "".
std::string Ser2netMissing();
// Why the emulated FT1.2 interface cannot serve here, or "".
std::string Ft12Missing();
void EndSer2netLine(const std::string& port);
// Starts `ft12` serving on a pty and maps a short port name to it as an FT1.2
// target; that name, or "" (the reason in the interface's LastError()).
std::string ServeFt12Line(bcuemu::Ft12Interface& ft12);

// The platform's part of the port map: a folder for this process's map
// (ending in a separator), and setting QELEIB_PORTS in this process.
std::string PortMapFolder();
void SetPortMapVariable(const std::string& path);

}  // namespace qel::test
