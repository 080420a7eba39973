// Misbehaviour on demand of the emulated bus's KNXnet/IP tunnelling server,
// for its clients' tests: each count is used up one frame at a time.
#pragma once

namespace bcuemu::knxnet {

struct TunnelFaults {
    int withheldAcks = 0;            // client requests neither acknowledged nor taken
    int withheldConfirms = 0;        // L_Data.con not sent
    int negativeConfirms = 0;        // L_Data.con sent with the error bit
    bool refuseConnections = false;  // CONNECT_REQUEST answered E_NO_MORE_CONNECTIONS
};

}  // namespace bcuemu::knxnet
