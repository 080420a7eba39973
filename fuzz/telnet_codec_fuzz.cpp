// The RFC 2217 stream decoder against a hostile far side, and the codec's
// round trip. The first byte picks the mode:
//   even: the rest is a raw stream; every item must be well formed.
//   odd:  the rest describes items (data, options, subnegotiations); encoded
//         and decoded again they must come back the same, in order.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/virtual_line/telnet_codec.h"

namespace tn = qel::telnet;

namespace {

void Require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "telnet codec invariant broken: %s\n", what);
    std::abort();
}

void CheckItem(const tn::Item& item) {
    switch (item.kind) {
    case tn::Item::Kind::kData: break;
    case tn::Item::Kind::kOption: Require(item.byte >= tn::kWill && item.byte <= tn::kDont, "option verb"); break;
    case tn::Item::Kind::kSubnegotiation: Require(item.length <= tn::kMaxSubnegotiation, "payload fits"); break;
    case tn::Item::Kind::kNone: Require(false, "a completed item has a kind"); break;
    }
}

void RawStream(const uint8_t* data, size_t size) {
    tn::Decoder decoder;
    tn::Item item;
    size_t dataItems = 0;
    for (size_t i = 0; i < size; ++i)
        if (decoder.feed(data[i], item)) {
            CheckItem(item);
            if (item.kind == tn::Item::Kind::kData) ++dataItems;
        }
    Require(dataItems <= size, "never more data bytes out than bytes in");
    // Whatever came before, a plain data byte is data again once the stream is
    // back at a command boundary: two IAC SE close any open subnegotiation,
    // even one whose option byte is still to come.
    const uint8_t resync[] = {tn::kIac, tn::kSe, tn::kIac, tn::kSe, 'x'};
    bool sawX = false;
    for (uint8_t byte : resync)
        if (decoder.feed(byte, item) && item.kind == tn::Item::Kind::kData && item.byte == 'x') sawX = true;
    Require(sawX, "the decoder finds its way back to data");
}

bool SameItem(const tn::Item& a, const tn::Item& b) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
    case tn::Item::Kind::kData: return a.byte == b.byte;
    case tn::Item::Kind::kOption: return a.byte == b.byte && a.option == b.option;
    case tn::Item::Kind::kSubnegotiation:
        return a.option == b.option && a.length == b.length && std::memcmp(a.payload, b.payload, a.length) == 0;
    case tn::Item::Kind::kNone: return true;
    }
    return false;
}

void RoundTrip(const uint8_t* data, size_t size) {
    std::vector<tn::Item> sent;
    std::vector<uint8_t> wire;
    size_t at = 0;
    auto next = [&] { return at < size ? data[at++] : uint8_t{0}; };
    while (at < size) {
        const uint8_t op = next();
        tn::Item item{};
        uint8_t out[5 + 2 * tn::kMaxSubnegotiation];
        size_t n = 0;
        switch (op % 3) {
        case 0:
            item.kind = tn::Item::Kind::kData;
            item.byte = next();
            n = tn::EncodeData(item.byte, out);
            break;
        case 1:
            item.kind = tn::Item::Kind::kOption;
            item.byte = static_cast<uint8_t>(tn::kWill + (op / 3) % 4);
            item.option = next();
            n = tn::EncodeOption(item.byte, item.option, out);
            break;
        default:
            item.kind = tn::Item::Kind::kSubnegotiation;
            item.option = next();
            item.length = static_cast<uint8_t>((op / 3) % (tn::kMaxSubnegotiation + 1));
            for (uint8_t i = 0; i < item.length; ++i) item.payload[i] = next();
            n = tn::EncodeSubnegotiation(item.option, item.payload, item.length, out);
            Require(n <= sizeof out, "encoded subnegotiation fits its stated room");
            break;
        }
        sent.push_back(item);
        wire.insert(wire.end(), out, out + n);
    }
    tn::Decoder decoder;
    tn::Item item;
    size_t got = 0;
    for (uint8_t byte : wire)
        if (decoder.feed(byte, item)) {
            Require(got < sent.size(), "no more items out than in");
            Require(SameItem(item, sent[got]), "decoded item equals the encoded one");
            ++got;
        }
    Require(got == sent.size(), "every encoded item decodes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    if (data[0] % 2 == 0) RawStream(data + 1, size - 1);
    else RoundTrip(data + 1, size - 1);
    return 0;
}
