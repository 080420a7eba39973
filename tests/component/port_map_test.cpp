// The port map: what a line means, and every way a map is refused.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "port_map/port_map.h"

namespace qel {
namespace {

struct Lookup {
    MapLookup result;
    std::string target;
    PortMapFault fault;
};

Lookup Look(const char* text, const char* name) {
    Lookup l;
    char target[kTargetSize] = "untouched";
    l.result = LookUpInPortMap(text, name, target, sizeof target, &l.fault);
    l.target = target;
    return l;
}

constexpr char kMap[] =
    "# the site's ports\n"
    "\n"
    "BCU1 = /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A600-if00-port0\n"
    "  com12=\\\\.\\COM12   # beyond COM9\r\n"
    "NETBCU = rfc2217://ser2net.local:4001\n"
    "KNXIP1 = knxip://192.168.1.20?nat\n";

TEST(PortMap, NamesMapToTheirTargetsWithoutRegardToCase) {
    EXPECT_EQ(Look(kMap, "BCU1").target, "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A600-if00-port0");
    EXPECT_EQ(Look(kMap, "COM12").target, "\\\\.\\COM12");
    EXPECT_EQ(Look(kMap, "netbcu").target, "rfc2217://ser2net.local:4001");
    EXPECT_EQ(Look(kMap, "KNXIP1").target, "knxip://192.168.1.20?nat");
    const Lookup other = Look(kMap, "COM1");
    EXPECT_EQ(other.result, MapLookup::kNotMapped);
    EXPECT_EQ(other.target, "untouched");
    EXPECT_EQ(Look("", "COM1").result, MapLookup::kNotMapped);
}

TEST(PortMap, ALineThatDoesNotParseRefusesTheWholeMap) {
    struct Case {
        const char* text;
        unsigned line;
        const char* why;
    };
    const Case cases[] = {
        {"A = /dev/ttyS0\nB /dev/ttyS1\n", 2, "not NAME = TARGET"},
        {"A =\n", 1, "not NAME = TARGET"},
        {" = /dev/ttyS0\n", 1, "not NAME = TARGET"},
        {"TWO WORDS = /dev/ttyS0\n", 1, "not NAME = TARGET"},
        {"TWELVECHARSX = /dev/ttyS0\n", 1, "name longer than 11 characters"},
        {"A = /dev/ttyS0\n# note\na = /dev/ttyS1\n", 3, "name mapped twice"},
        {"A = rfc2217://host\n", 1, "target not understood"},
        {"A = rfc2217://:4001\n", 1, "target not understood"},
        {"A = telnet://host:23\n", 1, "target not understood"},
        {"A = knxip://\n", 1, "target not understood"},
        {"A = knxip://host:\n", 1, "target not understood"},
        {"A = knxip://host:70000\n", 1, "target not understood"},
        {"A = knxip://host?route\n", 1, "target not understood"},
        {"A = knxip://host?tcp?nat\n", 1, "target not understood"},
        {"A = knxip://ho st\n", 1, "target not understood"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const Lookup l = Look(c.text, "A");  // the asked name is mapped, or not: the map is refused
        EXPECT_EQ(l.result, MapLookup::kBroken);
        EXPECT_EQ(l.fault.line, c.line);
        EXPECT_STREQ(l.fault.why, c.why);
    }
}

TEST(PortMap, TunnelTargetsGiveHostPortRouteBackAndTcp) {
    struct Case {
        const char* target;
        const char* host;
        uint16_t port;
        bool nat;
        bool tcp;
    };
    const Case cases[] = {
        {"knxip://192.168.1.20", "192.168.1.20", 3671, false, false},
        {"knxip://knxd.local:3700?nat", "knxd.local", 3700, true, false},
        {"knxip://gw?nat", "gw", 3671, true, false},
        {"knxip://gw:3700?tcp", "gw", 3700, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        TunnelTarget t{};
        ASSERT_TRUE(ParseTunnelTarget(c.target, std::strlen(c.target), &t));
        EXPECT_STREQ(t.host, c.host);
        EXPECT_EQ(t.port, c.port);
        EXPECT_EQ(t.nat, c.nat);
        EXPECT_EQ(t.tcp, c.tcp);
    }
    TunnelTarget t{};
    EXPECT_FALSE(ParseTunnelTarget("rfc2217://gw:4001", 17, &t));
    // A secure session goes over TCP; its credentials file's path runs to the end.
    const char secure[] = "knxip://gw:3700?secure=/etc/qel/gw?1.secure";
    ASSERT_TRUE(ParseTunnelTarget(secure, sizeof secure - 1, &t));
    EXPECT_STREQ(t.host, "gw");
    EXPECT_EQ(t.port, 3700);
    EXPECT_TRUE(t.tcp);
    EXPECT_STREQ(t.secure, "/etc/qel/gw?1.secure");
    EXPECT_FALSE(ParseTunnelTarget("knxip://gw?secure=", 18, &t));
}

TEST(PortMap, RoutingTargetsGiveGroupPortAndInterface) {
    struct Case {
        const char* target;
        uint32_t group;
        uint16_t port;
        uint32_t interface;
    };
    const Case cases[] = {
        {"knxrouting://", 0xE000170C, 3671, 0},
        {"knxrouting://239.1.2.3:3700", 0xEF010203, 3700, 0},
        {"knxrouting://?if=192.168.1.5", 0xE000170C, 3671, 0xC0A80105},
        {"knxrouting://224.0.23.12:3671?if=127.0.0.1", 0xE000170C, 3671, 0x7F000001},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        RoutingTarget t{};
        ASSERT_TRUE(ParseRoutingTarget(c.target, std::strlen(c.target), &t));
        EXPECT_EQ(t.group, c.group);
        EXPECT_EQ(t.port, c.port);
        EXPECT_EQ(t.interface, c.interface);
    }
    for (const char* bad : {"knxrouting://192.168.1.5", "knxrouting://224.0.23.12:0", "knxrouting://224.0.23.256",
                            "knxrouting://?if=gw", "knxrouting://?nat", "knxip://224.0.23.12",
                            "knxrouting://&secure=/etc/q.secure", "knxrouting://?secure="}) {
        SCOPED_TRACE(bad);
        RoutingTarget t{};
        EXPECT_FALSE(ParseRoutingTarget(bad, std::strlen(bad), &t));
    }
    RoutingTarget secure{};
    const char* withSecure = "knxrouting://:3700?if=127.0.0.1&secure=/etc/q/a&b.secure";
    ASSERT_TRUE(ParseRoutingTarget(withSecure, std::strlen(withSecure), &secure));
    EXPECT_EQ(secure.port, 3700);
    EXPECT_EQ(secure.interface, 0x7F000001u);
    EXPECT_STREQ(secure.secure, "/etc/q/a&b.secure");
    char target[64];
    PortMapFault fault;
    EXPECT_EQ(LookUpInPortMap("IP = knxrouting://?if=10.0.0.2\n", "ip", target, sizeof target, &fault), MapLookup::kMapped);
    EXPECT_STREQ(target, "knxrouting://?if=10.0.0.2");
    EXPECT_EQ(LookUpInPortMap("IP = knxrouting://10.0.0.2\n", "ip", target, sizeof target, &fault), MapLookup::kBroken);
}

}  // namespace
}  // namespace qel
