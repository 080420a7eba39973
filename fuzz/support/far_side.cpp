#include "fuzz/support/far_side.h"

#include <algorithm>

namespace qel::fuzz {
namespace {

namespace tn = qel::telnet;


}  // namespace

FarSide::FarSide(FuzzInput& input) : input_(input) {
    static const platform::StreamMethods methods = {
        .writeAll = WriteAll, .read = Read, .close = Close, .awaitInput = AwaitInput};
    stream_.base.methods = &methods;
    stream_.side = this;
}

bool FarSide::WriteAll(platform::ByteStream* stream, const uint8_t* bytes, uint32_t n, uint32_t) {
    FarSide* side = reinterpret_cast<Channel*>(stream)->side;
    if (side->closed_) return false;
    tn::Item item;
    for (uint32_t i = 0; i < n; ++i)
        if (side->decoder_.feed(bytes[i], item)) side->FromDriver(item);
    return true;
}

platform::StreamWait FarSide::AwaitInput(platform::ByteStream* stream, platform::Wake*, uint32_t timeoutMs) {
    FarSide* side = reinterpret_cast<Channel*>(stream)->side;
    while (side->toDriver_.empty() && timeoutMs != 0 && !side->input_.Empty()) side->Step();
    if (!side->toDriver_.empty()) return platform::StreamWait::kInput;
    if (timeoutMs != 0 && side->input_.Empty()) side->closed_ = true;
    return side->closed_ ? platform::StreamWait::kClosed : platform::StreamWait::kTimedOut;
}

int32_t FarSide::Read(platform::ByteStream* stream, uint8_t* out, uint32_t n, uint32_t timeoutMs) {
    FarSide* side = reinterpret_cast<Channel*>(stream)->side;
    // A caller that does not wait only gets what is already on its way.
    while (side->toDriver_.empty() && timeoutMs != 0 && !side->input_.Empty()) side->Step();
    if (side->toDriver_.empty()) {
        // A wait with nothing left to play: the far side has hung up.
        if (timeoutMs != 0 && side->input_.Empty()) side->closed_ = true;
        return side->closed_ ? -1 : 0;
    }
    const uint32_t k = std::min<uint32_t>(n, static_cast<uint32_t>(side->toDriver_.size()));
    for (uint32_t i = 0; i < k; ++i) {
        out[i] = side->toDriver_.front();
        side->toDriver_.pop_front();
    }
    return static_cast<int32_t>(k);
}

void FarSide::Close(platform::ByteStream* stream) { reinterpret_cast<Channel*>(stream)->side->closed_ = true; }

void FarSide::FromDriver(const tn::Item& item) {
    if (item.kind == tn::Item::Kind::kOption && item.option == tn::kComPortOption && item.byte == tn::kWill) {
        uint8_t out[3];
        toDriver_.insert(toDriver_.end(), out, out + tn::EncodeOption(tn::kDo, tn::kComPortOption, out));
        return;
    }
    if (item.kind != tn::Item::Kind::kSubnegotiation || item.option != tn::kComPortOption || item.length < 2) return;
    if (item.payload[0] != tn::kSetControl) return;
    // The line's reaction comes first, then the answer; without input there is neither.
    if (input_.Empty()) return;
    Step();
    const uint8_t answer[2] = {tn::kSetControl + tn::kServerOffset, item.payload[1]};
    Command(answer, sizeof answer);
    ++controlsAnswered_;
}

void FarSide::Notify(uint8_t modemState) {
    const uint8_t payload[2] = {tn::kNotifyModemstate + tn::kServerOffset, modemState};
    Command(payload, sizeof payload);
}

void FarSide::Data(uint8_t byte) {
    uint8_t out[2];
    toDriver_.insert(toDriver_.end(), out, out + tn::EncodeData(byte, out));
}

void FarSide::Command(const uint8_t* payload, size_t length) {
    uint8_t out[5 + 2 * tn::kMaxSubnegotiation];
    toDriver_.insert(toDriver_.end(), out, out + tn::EncodeSubnegotiation(tn::kComPortOption, payload, length, out));
}

// One step of the input: the low three bits choose what, the high five say how many.
void FarSide::Step() {
    const uint8_t op = input_.Byte();
    const int count = (op >> 3) + 1;
    switch (op & 7) {
    case 0: Notify(tn::kModemCts | tn::kModemDeltaCts); break;
    case 1: Notify(tn::kModemDeltaCts); break;
    case 2: Data(input_.Byte()); break;
    case 3:  // raw stream bytes, telnet framing or not
        for (int i = 0; i < count && !input_.Empty(); ++i) toDriver_.push_back(input_.Byte());
        break;
    case 4: break;  // nothing this time
    case 5: Notify(input_.Byte()); break;
    case 6: {
        uint8_t out[3];
        const auto verb = static_cast<uint8_t>(tn::kWill + (op >> 3) % 4);
        toDriver_.insert(toDriver_.end(), out, out + tn::EncodeOption(verb, input_.Byte(), out));
        break;
    }
    case 7:  // CTS on and a run of data bytes: a BCU's frame in one go
        Notify(tn::kModemCts | tn::kModemDeltaCts);
        for (int i = 0; i < count && !input_.Empty(); ++i) Data(input_.Byte());
        break;
    }
}

}  // namespace qel::fuzz
