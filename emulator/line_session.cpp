#include "line_session.h"

#include <chrono>
#include <cstring>

#include "bcuemu/modem_page.h"
#include "bcuemu/recorder.h"
#include "line_transport.h"
#include "serial_side.h"

namespace bcuemu::detail {

namespace tn = qel::telnet;

LineSession::LineSession(SerialSide& side, Recorder& recorder, LineTransport& transport)
    : side_(side), recorder_(recorder), transport_(transport) {}

void LineSession::Reset() { decoder_ = tn::Decoder{}; }

void LineSession::Feed(const uint8_t* data, size_t count, int64_t now) {
    if (transport_.Raw()) {
        for (size_t i = 0; i < count; ++i) ByteFromDriver(data[i], now);
        return;
    }
    tn::Item item;
    for (size_t i = 0; i < count; ++i) {
        if (!decoder_.feed(data[i], item)) continue;
        switch (item.kind) {
        case tn::Item::Kind::kData: ByteFromDriver(item.byte, now); break;
        case tn::Item::Kind::kOption: Option(item); break;
        case tn::Item::Kind::kSubnegotiation: Subnegotiation(item, now); break;
        case tn::Item::Kind::kNone: break;
        }
    }
}

void LineSession::ByteFromDriver(uint8_t b, int64_t now) {
    recorder_.Add(LineEvent::Kind::kToBcu, b);
    side_.ByteFromDriver(b, now);
    Flush(now);
}

void LineSession::Lines(const uint8_t* changes, size_t count, int64_t now) {
    const auto monotonicUs = static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
    for (size_t at = 0; at + sizeof(QelModemChange) <= count; at += sizeof(QelModemChange)) {
        QelModemChange edge;
        std::memcpy(&edge, changes + at, sizeof edge);
        const bool on = (edge.change & QEL_MODEM_CHANGE_ON) != 0;
        // Recorded when the port moved the line; the BCU reacts from now on.
        const int64_t movedAt = now - static_cast<uint32_t>(monotonicUs - edge.stampUs);
        if ((edge.change & QEL_MODEM_CHANGE_DTR) != 0) {
            recorder_.AddAt(LineEvent::Kind::kDtr, on, movedAt);
            side_.Dtr(on, now);
        } else {
            recorder_.AddAt(LineEvent::Kind::kRts, on, movedAt);
            side_.Rts(on, now);
        }
        Flush(now);
    }
}

void LineSession::Flush(int64_t now) {
    for (const LineOutput& out : side_.TakeDue(now)) {
        if (out.kind == LineOutput::Kind::kCts) {
            SendCts(out.value != 0);
        } else if (transport_.Raw()) {
            Write(&out.value, 1);
            recorder_.Add(LineEvent::Kind::kFromBcu, out.value);
        } else {
            uint8_t bytes[2];
            Write(bytes, tn::EncodeData(out.value, bytes));
            recorder_.Add(LineEvent::Kind::kFromBcu, out.value);
        }
    }
}

void LineSession::Option(const tn::Item& item) {
    uint8_t out[3];
    // Only the com-port option is taken; refusals are not answered again.
    if (item.byte == tn::kWill) {
        Write(out, tn::EncodeOption(item.option == tn::kComPortOption ? tn::kDo : tn::kDont, item.option, out));
    } else if (item.byte == tn::kDo) {
        Write(out, tn::EncodeOption(item.option == tn::kComPortOption ? tn::kWill : tn::kWont, item.option, out));
    }
}

void LineSession::Subnegotiation(const tn::Item& item, int64_t now) {
    if (item.option != tn::kComPortOption || item.length == 0) return;
    const uint8_t command = item.payload[0];
    const uint8_t* values = item.payload + 1;
    const size_t count = item.length - 1u;
    switch (command) {
    case tn::kSetControl:
        if (count >= 1) Control(values[0], now);
        break;
    case tn::kSetModemstateMask:
        Answer(command, values, count);
        if (side_.Cts()) SendCts(true, false);  // the state as it stands, for a driver that just arrived
        break;
    default:  // line settings, purge and the rest: accepted as asked
        Answer(command, values, count);
        break;
    }
}

void LineSession::Control(uint8_t value, int64_t now) {
    uint8_t reply = value;
    switch (value) {
    case tn::kControlDtrOn:
    case tn::kControlDtrOff:
        recorder_.Add(LineEvent::Kind::kDtr, value == tn::kControlDtrOn);
        side_.Dtr(value == tn::kControlDtrOn, now);
        break;
    case tn::kControlRtsOn:
    case tn::kControlRtsOff:
        recorder_.Add(LineEvent::Kind::kRts, value == tn::kControlRtsOn);
        side_.Rts(value == tn::kControlRtsOn, now);
        break;
    case 0: reply = 1; break;  // query flow control: none
    case 7: reply = side_.DtrOn() ? tn::kControlDtrOn : tn::kControlDtrOff; break;
    case 10: reply = side_.RtsOn() ? tn::kControlRtsOn : tn::kControlRtsOff; break;
    default: break;
    }
    Flush(now);  // the BCU's reaction first, then the answer the driver waits for
    Answer(tn::kSetControl, &reply, 1);
}

void LineSession::Answer(uint8_t command, const uint8_t* values, size_t count) {
    uint8_t payload[tn::kMaxSubnegotiation];
    size_t n = 0;
    payload[n++] = static_cast<uint8_t>(command + tn::kServerOffset);
    for (size_t i = 0; i < count && n < sizeof payload; ++i) payload[n++] = values[i];
    uint8_t out[5 + 2 * tn::kMaxSubnegotiation];
    Write(out, tn::EncodeSubnegotiation(tn::kComPortOption, payload, n, out));
}

void LineSession::SendCts(bool on, bool record) {
    if (transport_.Raw()) {
        transport_.SetCts(on);
        if (record) recorder_.Add(LineEvent::Kind::kCts, on);
        return;
    }
    const uint8_t payload[2] = {tn::kNotifyModemstate + tn::kServerOffset,
                                static_cast<uint8_t>((on ? tn::kModemCts : 0) | tn::kModemDeltaCts)};
    uint8_t out[5 + 2 * sizeof payload];
    Write(out, tn::EncodeSubnegotiation(tn::kComPortOption, payload, sizeof payload, out));
    if (record) recorder_.Add(LineEvent::Kind::kCts, on);
}

void LineSession::Write(const uint8_t* bytes, size_t count) { transport_.Write(bytes, count); }

}  // namespace bcuemu::detail
