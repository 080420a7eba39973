// Misbehaviour on demand of the emulated bus's KNXnet/IP tunnelling server,
// for its clients' tests: each count is used up one frame at a time. Over
// TCP, where nothing is acknowledged, a withheld acknowledgement is a
// request silently not taken.
#pragma once

namespace bcuemu::knxnet {

struct TunnelFaults {
    int withheldAcks = 0;            // client requests neither acknowledged nor taken
    int withheldConfirms = 0;        // L_Data.con not sent
    int negativeConfirms = 0;        // L_Data.con sent with the error bit
    int droppedConnections = 0;      // TCP: a client's tunnelling request closes its connection instead
    bool refuseConnections = false;  // CONNECT_REQUEST answered E_NO_MORE_CONNECTIONS
    // A secure server's (KnxnetServer::Secure):
    int badMacs = 0;                    // frames to a client sealed with a wrong MAC
    int replayedFrames = 0;             // frames to a client sent twice, the copy a replay
    bool muteSessions = false;          // the sessions up now stop answering; new ones are served
    bool refuseAuthentication = false;  // SESSION_AUTHENTICATE answered "authentication failed"
};

}  // namespace bcuemu::knxnet
