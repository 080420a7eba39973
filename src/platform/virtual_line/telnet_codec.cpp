#include "platform/virtual_line/telnet_codec.h"

namespace qel::telnet {

bool Decoder::feed(uint8_t byte, Item& item) {
    switch (state_) {
    case State::kData:
        if (byte == kIac) {
            state_ = State::kCommand;
            return false;
        }
        item = Item{};
        item.kind = Item::Kind::kData;
        item.byte = byte;
        return true;
    case State::kCommand:
        if (byte == kIac) {  // doubled 0xFF: one data byte
            state_ = State::kData;
            item = Item{};
            item.kind = Item::Kind::kData;
            item.byte = kIac;
            return true;
        }
        if (byte >= kWill && byte <= kDont) {
            verb_ = byte;
            state_ = State::kOption;
            return false;
        }
        if (byte == kSb) {
            state_ = State::kSbOption;
            return false;
        }
        state_ = State::kData;  // other telnet commands carry nothing for a serial line
        return false;
    case State::kOption:
        state_ = State::kData;
        item = Item{};
        item.kind = Item::Kind::kOption;
        item.byte = verb_;
        item.option = byte;
        return true;
    case State::kSbOption:
        pending_ = Item{};
        pending_.kind = Item::Kind::kSubnegotiation;
        pending_.option = byte;
        state_ = State::kSbData;
        return false;
    case State::kSbData:
        if (byte == kIac) {
            state_ = State::kSbIac;
            return false;
        }
        if (pending_.length < kMaxSubnegotiation) pending_.payload[pending_.length++] = byte;
        return false;
    case State::kSbIac:
        if (byte == kIac) {
            if (pending_.length < kMaxSubnegotiation) pending_.payload[pending_.length++] = kIac;
            state_ = State::kSbData;
            return false;
        }
        state_ = State::kData;
        if (byte == kSe) {
            item = pending_;
            return true;
        }
        return false;  // malformed subnegotiation: dropped
    }
    return false;
}

size_t EncodeData(uint8_t byte, uint8_t* out) {
    out[0] = byte;
    if (byte != kIac) return 1;
    out[1] = kIac;
    return 2;
}

size_t EncodeOption(uint8_t verb, uint8_t option, uint8_t* out) {
    out[0] = kIac;
    out[1] = verb;
    out[2] = option;
    return 3;
}

size_t EncodeSubnegotiation(uint8_t option, const uint8_t* payload, size_t length, uint8_t* out) {
    size_t n = 0;
    out[n++] = kIac;
    out[n++] = kSb;
    out[n++] = option;
    for (size_t i = 0; i < length; ++i) n += EncodeData(payload[i], out + n);
    out[n++] = kIac;
    out[n++] = kSe;
    return n;
}

}  // namespace qel::telnet
