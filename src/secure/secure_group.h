// One member of a KNX IP Secure routing group, as bytes in and out (no I/O;
// the caller gives a wrapping millisecond clock, read at least every few weeks): every frame to the group
// sealed in a SECURE_WRAPPER under the backbone key (session 0, the group's
// timer as its sequence, the member's serial number, a message tag counting
// up), every wrapper from it opened, and the group's timer kept with
// TIMER_NOTIFY.
//
// The timer: 48 bits of milliseconds, run on from the caller's clock. It
// starts where the member says (the driver: 0) and takes any newer value a MAC-checked wrapper or TIMER_NOTIFY
// brings, so the group follows its fastest member. At the start the member
// asks with a TIMER_NOTIFY of its own (timer 0, a random tag), which every
// member that has run longer than the tolerance answers. A wrapper older than
// the tolerance is dropped and answered with a TIMER_NOTIFY, so that its
// sender catches up; a TIMER_NOTIFY older than a tenth of it is answered
// too. Answers go at most one per tenth of the tolerance. Ten seconds without
// a TIMER_NOTIFY sent or heard within a tenth of the tolerance, the member
// sends one of its own; a group with a notifier keeps the others quiet.
#pragma once

#include <cstddef>
#include <cstdint>

#include "secure/secure_crypto.h"

namespace qel::secure {

constexpr uint32_t kDefaultLatencyToleranceMs = 1000;
constexpr uint32_t kTimerNotifyPeriodMs = 10000;

struct SecureGroup {
    Key backboneKey;
    uint32_t toleranceMs;
    uint8_t serial[kSerialSize];
    uint64_t timer;     // as it was at timerAt
    uint32_t timerAt;
    bool synchronised;  // a member answered the start's TIMER_NOTIFY, or a newer timer came
    uint16_t requestTag;
    uint16_t nextTag;
    uint32_t lastNotifyAt;  // a TIMER_NOTIFY sent, or one in step heard
    bool answeredAny;
    uint32_t lastAnswerAt;
};

// A new member with `backboneKey` and `toleranceMs` (0: the default), its
// timer at `timer`: serial number 00 FA and four random bytes; the start's
// TIMER_NOTIFY into `out` (kTimerNotifySize bytes). False when the platform
// refused.
bool BeginGroup(SecureGroup& g, const Key& backboneKey, uint32_t toleranceMs, uint64_t timer, uint32_t now,
                uint8_t* out);

// The group's timer at `now`.
uint64_t GroupTimer(SecureGroup& g, uint32_t now);

// `inner` (a whole frame) sealed into `out`; its length, 0 on failure.
size_t SealForGroup(SecureGroup& g, uint32_t now, const uint8_t* inner, size_t n, uint8_t* out, size_t outSize);

enum class GroupOpened : uint8_t {
    kFrame,         // `inner` holds the frame
    kTimer,         // a TIMER_NOTIFY, taken
    kNotWrapped,    // dropped from here on
    kOtherSession,
    kBadMac,
    kOldTimer,
};
// A datagram from the group. When `*replyLength` is not 0, `reply`
// (kTimerNotifySize bytes) holds a TIMER_NOTIFY to send to the group.
GroupOpened OpenFromGroup(SecureGroup& g, uint32_t now, const uint8_t* frame, size_t n, uint8_t* inner,
                          size_t innerSize, size_t* innerLength, uint8_t* reply, size_t* replyLength);

// How long from `now` until the member's periodic TIMER_NOTIFY is due; 0: now.
uint32_t UntilTimerNotify(const SecureGroup& g, uint32_t now);
// The periodic TIMER_NOTIFY into `out` (kTimerNotifySize bytes); false when a primitive refused.
bool PeriodicTimerNotify(SecureGroup& g, uint32_t now, uint8_t* out);

// Wipes the key.
void EndGroup(SecureGroup& g);

}  // namespace qel::secure
