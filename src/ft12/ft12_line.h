// The FT1.2 line (kFt12Link, kFt12CemiLink): a serial port at 8E1 to a BCU2
// in FT1.2 mode (EMI2) or a cEMI interface, beside the BCU's handshake line
// and the KNXnet/IP tunnel. Its handle, kept in InstanceData::portHandle, is
// the line object.
//
// Used only with the line lock held: by the listener (ServeFt12, ended by its
// wake) and by one request at a time. Whoever holds the line reads the port:
// every good frame of the interface is acknowledged at once, a repeat is not
// taken twice, a bad one is dropped unacknowledged; the L_Data.ind and
// PC_GetValue.con go to the handler as BCU images in ReceivedFrame, whatever
// the holder waits for.
#pragma once

#include <cstdint>

#include "abi/records.h"
#include "ft12/emi_messages.h"
#include "ft12/ft12_frames.h"
#include "link/link.h"
#include "platform/platform.h"
#include "port_map/port_map.h"

namespace qel {

extern const LinkMethods kFt12Link;      // EMI2
extern const LinkMethods kFt12CemiLink;  // cEMI

struct Ft12Line {
    Link link;  // kFt12Link or kFt12CemiLink
    platform::Port* port;
    ft12::Emi emi;
    uint32_t baud;
    bool up;            // reset and in link layer since the last failure
    uint8_t sendBit;    // frame-count bit of the next new frame
    bool fresh;         // nothing taken since the reset: any bit is new
    uint8_t takenBit;   // of the last frame taken
    bool dropLogged;    // a run of bad frames is logged once
    uint32_t lastByteMs;
    // What the holder of the line waits for.
    bool awaitingAck;
    bool acked;
    ft12::Answer awaiting;
    uint16_t awaitedDestination;
    bool answered;
    bool positive;
    ft12::Reader reader;
    uint8_t frame[ft12::kMaxFrame];
    uint8_t message[ft12::kMaxData];
    uint8_t input[64];
    char device[kTargetSize];
};

inline Ft12Line* Ft12LineOf(uint32_t handle) { return reinterpret_cast<Ft12Line*>(LinkObjectOf(handle)); }

// Opens an ft12: target's port at its speed, 8 data bits, even parity, one
// stop bit, no flow control; kNoPort when it cannot.
uint32_t OpenFt12(const Ft12Target& target);
// Closes the port and frees the line.
bool CloseFt12(uint32_t handle);

// A reset (10 40 40 16) and the switch to link layer, confirmed; logged when it fails.
SendResult EstablishFt12(InstanceData* instance, Ft12Line* line, FrameHandler onFrame);
// A BCU frame image's message, acknowledged; an L_Data.req is kSent only on a
// positive L_Data.con. A line that is not up is established first.
SendResult Ft12Send(InstanceData* instance, Ft12Line* line, const uint8_t* image, FrameHandler onFrame);
// The interface's frames until `wake` is signalled or maxMs passed. False
// when the port failed.
bool ServeFt12(InstanceData* instance, Ft12Line* line, platform::Wake* wake, uint32_t maxMs, FrameHandler onFrame);
// Drops the input waiting and any frame begun.
void DropFt12Input(Ft12Line* line);

}  // namespace qel
