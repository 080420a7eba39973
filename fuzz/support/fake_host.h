// The world a fuzz target runs the driver in: a System table with a fake
// clock (sleeps return at once and move it; every tick read moves it by one
// millisecond, so every polling loop ends), the seven host functions as
// in-process stand-ins, and ports opened on a stream the target supplies.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "platform/virtual_line/virtual_port.h"

namespace qel::fuzz {

// Installs the fake System once; later calls only reset the clock and the host state.
void InstallFakeWorld();

// The stream the next openPort gets a virtual port on (taken by that open).
void OfferStream(platform::ByteStream* stream);

// Host stand-ins' behaviour and record.
struct HostState {
    bool lookupFails = false;   // HuxGetGateIdByAddressStr answers "no such gate"
    bool cookFails = false;
    bool putFails = false;
    uint16_t rawValue = 0;      // what HuxGetGateRawValue hands out
    uint32_t deliveries = 0;    // HuxPutGateVal calls
    std::string lastAddress;    // the address text of the last lookup
    // Checked at every lookup: called with the address text the driver formed.
    void (*onLookup)(const char* address) = nullptr;
};
HostState& Host();

uint32_t FakeNow();

}  // namespace qel::fuzz
