// The tunnel's datagram and cEMI parsers against a hostile server: whatever
// comes, a parse stays inside the datagram, and the BCU image built from an
// L_Data.ind stays inside the receive buffer and says its own length. The
// same bytes as a frame image to send must give a request that fits a datagram.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "abi/records.h"
#include "tunnel/knxnet_frames.h"

namespace kn = qel::knxnet;

namespace {

void Require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "knxnet frames invariant broken: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kn::Received r;
    if (kn::ParseDatagram(data, size, &r) && r.cemi != nullptr) {
        Require(r.cemi >= data && r.cemi + r.cemiLength <= data + size, "cEMI inside the datagram");
        kn::CemiData frame{};
        if (kn::ParseCemi(r.cemi, r.cemiLength, &frame)) {
            Require(frame.tpdu + frame.length + 1 <= r.cemi + r.cemiLength, "TPDU inside the cEMI frame");
            uint8_t image[qel::kFrameAreaSize];
            const uint8_t length = kn::BcuIndicationFromCemi(frame, image, sizeof image);
            Require(length == 0 || (length >= 8 && length <= 23 && (image[0] & 0x1F) == length), "image length");
        }
    }
    uint8_t image[qel::kFrameAreaSize] = {};
    std::memcpy(image, data, size < sizeof image ? size : sizeof image);
    uint8_t cemi[kn::kMaxDatagram];
    const size_t n = kn::CemiFromBcuRequest(image, cemi);
    Require(n == 0 || (n >= 10 && n <= 10 + 15), "request length");
    char scratch[8];
    if (size > 0) Require(kn::StatusName(data[0], scratch, sizeof scratch)[0] == 'E', "status name");
    return 0;
}
