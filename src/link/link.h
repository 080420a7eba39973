// The seam between the commands, the listener and the instance above, and the
// kinds of link to the bus beneath: the BCU's byte-handshake line (serial/)
// and the KNXnet/IP tunnel (tunnel/).
//
// A link is chosen once, when a port is opened, and lives behind the
// instance's handle (InstanceData::portHandle): the handle is the address of
// a link object, which begins with its LinkMethods as a platform::Port begins
// with its PortMethods. kNoPort and kPseudoPort ("NULLDEV") name no object:
// they are the handshake line with no device (every byte refused) and with
// the pseudo device (every byte taken). A third kind, the FT1.2 line to a BCU2
// or a cEMI interface, lives in ft12/; a fourth, KNXnet/IP routing on a
// multicast group, in routing/.
//
// Everything a link sends or receives is a BCU frame image (header first):
// a link that reaches the bus another way converts at its edge.
//
// Error contract: no operation throws or blocks past its own bounds. send,
// check, renew, clearLine and dropModemLines take the line themselves (at most
// kLineLockLimitMs; a line that stays busy is logged and gives kLineBusy or
// false); serve, setModemLine, hangUp and close are called with the line held
// (or with no listener left). An operation that finds, once it holds the
// line, that a port request put another link behind the handle meanwhile
// hands the call to that link. A link without modem lines or an input queue
// does nothing there and reports success.
#pragma once

#include <cstdint>

#include "abi/records.h"
#include "platform/platform.h"

namespace qel {

enum class SendResult : uint8_t { kSent, kFailed, kLineBusy };

// Called with the instance when a frame of the bus has been put into ReceivedFrame.
using FrameHandler = void (*)(InstanceData* instance);

// What the listener keeps between its turns with the link.
struct ListenerTurn {
    int32_t number;         // the instance number: its wake, claims and stop request
    const char* name;       // the instance name, for the log
    FrameHandler onFrame;   // the decoder of the commands
    bool stuck;             // the link found stuck (logged once per change)
};

// The commands meant for a BCU, which each link takes its own way.
enum class BcuCommand : uint8_t {
    kNone,        // group values and CHK_COMM: every link takes them
    kLinkLayer,   // LINKLAYER
    kResetBcu,    // RESETBCU
    kCell0116,    // GET_0116, PUT_0116
    kLayerCell,   // GET_LAYER, PUT_LAYER
    kModemLine,   // SET_DTR, SET_RTS
};
constexpr int kBcuCommandCount = 6;

// What a link does with one of them.
enum class CommandUse : uint8_t {
    kAsOnBcu,   // the command's own function: its frames through send
    kDone,      // nothing to do: done at once
    kRefused,   // rejected, with the link's refusal line
    kRenew,     // the link's renew: done when it is up again
};

struct LinkMethods {
    SendResult (*send)(InstanceData*, const uint8_t* image, FrameHandler onFrame);  // a frame image; kSent once confirmed
    bool (*serve)(InstanceData*, ListenerTurn* turn);  // the listener's turn, until news, a claim or a stop; false: poll idle
    SendResult (*check)(InstanceData*, FrameHandler onFrame);  // make sure the link works (ColdStart, WarmStart, CHK_COMM, a read's recovery)
    bool (*renew)(InstanceData*, FrameHandler onFrame);  // RESETBCU where the link renews itself; false: failed or none
    void (*start)(InstanceData*, uint32_t readTimeout);  // ColdStart's set-up of the new link (units of 10 ms)
    bool (*clearLine)(InstanceData*);                   // WarmStart: input dropped, DTR on; false: line stayed busy
    void (*dropModemLines)(InstanceData*);              // DTR and RTS off after a failed reset
    void (*setModemLine)(InstanceData*, platform::ModemLine, uint32_t on);  // SET_DTR, SET_RTS
    void (*hangUp)(uint32_t handle);                    // goodbye to a peer, once the listener has stopped
    bool (*close)(uint32_t handle);                     // hang up and free; false: still open
    uint32_t listenerStartMs;                           // the listener stays off the link this long at its start
    uint32_t workTailMs;                                // a pause ending a request's work, before the priority drops
    CommandUse bcuCommands[kBcuCommandCount];           // by BcuCommand
    const char* refusalTexts[kBcuCommandCount];         // by BcuCommand: log line of a refused one (instance, command name)
};

// Every link object begins with this.
struct Link {
    const LinkMethods* methods;
};

// The BCU's byte-handshake line (serial/), also the link of kNoPort and kPseudoPort.
extern const LinkMethods kHandshakeLine;

// The link behind a handle.
const LinkMethods& LinkOf(uint32_t handle);

// The operations of a link that lacks what they act on (line settings, an
// input queue, modem lines, a session to end): each does nothing.
inline void NoLineSettings(InstanceData*, uint32_t) {}
inline bool NoLineToClear(InstanceData*) { return true; }
inline void NoModemLines(InstanceData*) {}
inline void NoModemLine(InstanceData*, platform::ModemLine, uint32_t) {}
inline void NoSession(uint32_t) {}

inline uint32_t HandleOfLink(Link* link) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(link)); }
// The link object behind a handle; nullptr for kNoPort and kPseudoPort.
inline Link* LinkObjectOf(uint32_t handle) {
    if (handle == kNoPort || handle == kPseudoPort) return nullptr;
    return reinterpret_cast<Link*>(static_cast<uintptr_t>(handle));
}

}  // namespace qel
