#include "routing/routing_secure.h"

#include <new>

#include "host/log.h"
#include "secure/credentials.h"

namespace qel {

SecureRouting* OpenSecureRouting(const char* credentials, const char* owner, const char* groupText) {
    secure::GroupCredentials keys;
    char why[96];
    if (!secure::ReadGroupCredentials(credentials, &keys, why, sizeof why)) {
        QEL_LOG(text::kSecureCredentials, owner, credentials, why);
        return nullptr;
    }
    auto* s = new (std::nothrow) SecureRouting();
    if (s == nullptr) return nullptr;
    s->group.backboneKey = keys.backboneKey;
    s->toleranceMs = keys.latencyToleranceMs;
    s->owner = owner;
    s->groupText = groupText;
    return s;
}

bool BeginSecureRouting(SecureRouting& s, uint32_t now) {
    secure::Key key = s.group.backboneKey;  // BeginGroup starts from a blank member
    const bool ok = secure::BeginGroup(s.group, key, s.toleranceMs, 0, now, s.notify);
    secure::Wipe(key.data(), key.size());
    return ok;
}

const uint8_t* OpenRoutedDatagram(SecureRouting& s, uint32_t now, const uint8_t* bytes, size_t n,
                                  size_t* innerLength, size_t* notifyLength) {
    using secure::GroupOpened;
    *innerLength = 0;
    const GroupOpened o =
        secure::OpenFromGroup(s.group, now, bytes, n, s.inner, sizeof s.inner, innerLength, s.notify, notifyLength);
    if (o == GroupOpened::kFrame) return s.inner;
    if (o == GroupOpened::kTimer || n == 0) return nullptr;  // an empty datagram only wakes a receiver
    const char* why = "not wrapped";
    if (o == GroupOpened::kOtherSession) why = "other session";
    else if (o == GroupOpened::kBadMac) why = "bad MAC";
    else if (o == GroupOpened::kOldTimer) why = "old timer";
    ++s.drops;
    QEL_LOG(text::kSecureRoutingDropped, s.owner, s.groupText, why, s.drops);
    return nullptr;
}

}  // namespace qel
