#include "secure/secure_group.h"

#include <cstring>

#include "platform/crypto.h"

namespace qel::secure {
namespace {

constexpr uint64_t kTimerMask = (uint64_t{1} << 48) - 1;

// A tenth of the tolerance: how close a TIMER_NOTIFY counts as in step, and
// the least time between two answers.
uint32_t SyncToleranceMs(const SecureGroup& g) { return g.toleranceMs >= 10 ? g.toleranceMs / 10 : 1; }

bool SameSerial(const uint8_t* a, const uint8_t* b) { return std::memcmp(a, b, kSerialSize) == 0; }

void Take(SecureGroup& g, uint32_t now, uint64_t timer) {
    g.timer = timer;
    g.timerAt = now;
    g.synchronised = true;
}

// Our timer to the member whose frame came with `f`, unless one went a moment ago.
void Answer(SecureGroup& g, uint32_t now, const WrapperFields& f, uint8_t* reply, size_t* replyLength) {
    if (g.answeredAny && now - g.lastAnswerAt < SyncToleranceMs(g)) return;
    WrapperFields answer = f;
    answer.sequence = GroupTimer(g, now);
    if (!TimerNotify(g.backboneKey, answer, reply)) return;
    g.answeredAny = true;
    g.lastAnswerAt = now;
    g.lastNotifyAt = now;
    *replyLength = kTimerNotifySize;
}

GroupOpened TimerNotified(SecureGroup& g, uint32_t now, const uint8_t* frame, size_t n, uint8_t* reply,
                          size_t* replyLength) {
    WrapperFields f;
    if (!OpenTimerNotify(g.backboneKey, frame, n, &f)) return GroupOpened::kBadMac;
    const uint64_t local = GroupTimer(g, now);
    if (SameSerial(f.serial, g.serial) && f.messageTag == g.requestTag) g.synchronised = true;  // an answer to us
    if (f.sequence > local) {
        Take(g, now, f.sequence);
        g.lastNotifyAt = now;
    } else if (local - f.sequence <= SyncToleranceMs(g)) {
        g.lastNotifyAt = now;
    } else {
        Answer(g, now, f, reply, replyLength);
    }
    return GroupOpened::kTimer;
}

}  // namespace

bool BeginGroup(SecureGroup& g, const Key& backboneKey, uint32_t toleranceMs, uint64_t timer, uint32_t now,
                uint8_t* out) {
    g = SecureGroup{};
    g.backboneKey = backboneKey;
    g.toleranceMs = toleranceMs != 0 ? toleranceMs : kDefaultLatencyToleranceMs;
    g.serial[0] = 0x00;
    g.serial[1] = 0xFA;
    uint8_t tags[4];
    if (!platform::NativeCrypto().randomBytes(g.serial + 2, 4) || !platform::NativeCrypto().randomBytes(tags, 4))
        return false;
    g.requestTag = Get16(tags);
    g.nextTag = Get16(tags + 2);
    g.timer = timer & kTimerMask;
    g.timerAt = now;
    g.lastNotifyAt = now;
    WrapperFields f;
    f.sequence = g.timer;
    std::memcpy(f.serial, g.serial, kSerialSize);
    f.messageTag = g.requestTag;
    return TimerNotify(g.backboneKey, f, out);
}

uint64_t GroupTimer(SecureGroup& g, uint32_t now) {
    g.timer = (g.timer + (now - g.timerAt)) & kTimerMask;
    g.timerAt = now;
    return g.timer;
}

size_t SealForGroup(SecureGroup& g, uint32_t now, const uint8_t* inner, size_t n, uint8_t* out, size_t outSize) {
    WrapperFields f;
    f.sessionId = 0;
    f.sequence = GroupTimer(g, now);
    std::memcpy(f.serial, g.serial, kSerialSize);
    f.messageTag = g.nextTag++;  // with the timer: two frames in one millisecond never share a nonce
    return Wrap(g.backboneKey, f, inner, n, out, outSize);
}

GroupOpened OpenFromGroup(SecureGroup& g, uint32_t now, const uint8_t* frame, size_t n, uint8_t* inner,
                          size_t innerSize, size_t* innerLength, uint8_t* reply, size_t* replyLength) {
    *replyLength = 0;
    SecureFrame parsed;
    if (!ParseSecureFrame(frame, n, &parsed)) return GroupOpened::kNotWrapped;
    if (parsed.service == SecureService::kTimerNotify) return TimerNotified(g, now, frame, n, reply, replyLength);
    if (parsed.service != SecureService::kSecureWrapper) return GroupOpened::kNotWrapped;
    if (parsed.sessionId != 0) return GroupOpened::kOtherSession;
    WrapperFields f;
    if (!Unwrap(g.backboneKey, frame, n, &f, inner, innerSize, innerLength)) return GroupOpened::kBadMac;
    const uint64_t local = GroupTimer(g, now);
    if (f.sequence > local) {
        Take(g, now, f.sequence);
    } else if (local - f.sequence > g.toleranceMs) {
        Wipe(inner, *innerLength);
        *innerLength = 0;
        Answer(g, now, f, reply, replyLength);
        return GroupOpened::kOldTimer;
    }
    return GroupOpened::kFrame;
}

uint32_t UntilTimerNotify(const SecureGroup& g, uint32_t now) {
    const uint32_t since = now - g.lastNotifyAt;
    return since >= kTimerNotifyPeriodMs ? 0 : kTimerNotifyPeriodMs - since;
}

bool PeriodicTimerNotify(SecureGroup& g, uint32_t now, uint8_t* out) {
    WrapperFields f;
    f.sequence = GroupTimer(g, now);
    std::memcpy(f.serial, g.serial, kSerialSize);
    f.messageTag = g.nextTag++;
    g.lastNotifyAt = now;
    return TimerNotify(g.backboneKey, f, out);
}

void EndGroup(SecureGroup& g) { Wipe(g.backboneKey.data(), g.backboneKey.size()); }

}  // namespace qel::secure
