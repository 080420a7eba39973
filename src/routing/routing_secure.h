// KNX IP Secure routing: the group's datagrams both ways in SECURE_WRAPPERs
// under the backbone key, and its timer kept with TIMER_NOTIFY
// (secure/secure_group.h). A received datagram that does not open is
// dropped and counted over the link's life, one line each.
#pragma once

#include <cstddef>
#include <cstdint>

#include "routing/routing_frames.h"
#include "secure/secure_group.h"

namespace qel {

struct SecureRouting {
    secure::SecureGroup group{};
    uint32_t toleranceMs = 0;
    const char* owner = "";
    const char* groupText = "";
    unsigned drops = 0;
    uint8_t notify[secure::kTimerNotifySize] = {};  // the TIMER_NOTIFY to send, when any
    uint8_t inner[routing::kMaxDatagram] = {};

    SecureRouting() = default;
    SecureRouting(const SecureRouting&) = delete;
    SecureRouting& operator=(const SecureRouting&) = delete;
    ~SecureRouting() { secure::EndGroup(group); }
};

// The group's key from the credentials file `credentials` (read now);
// nullptr when it gives none (logged under `owner`). `owner` and `groupText`
// outlive the object: its log lines name them.
SecureRouting* OpenSecureRouting(const char* credentials, const char* owner, const char* groupText);
// Joins the group at `now`: the TIMER_NOTIFY asking for the group's timer
// in s.notify. False when a primitive refused.
bool BeginSecureRouting(SecureRouting& s, uint32_t now);
// A datagram from the group: the routing frame inside (in s.inner, its
// length in *innerLength), or nullptr for a TIMER_NOTIFY and for a datagram
// dropped. *notifyLength not 0: s.notify is to go to the group.
const uint8_t* OpenRoutedDatagram(SecureRouting& s, uint32_t now, const uint8_t* bytes, size_t n,
                                  size_t* innerLength, size_t* notifyLength);

}  // namespace qel
