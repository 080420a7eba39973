// Frame reception, decoding and the collision path, on a virtual port whose
// far side is played from the input through the real RFC 2217 client
// (src/platform/virtual_line), on a fake clock.
//
// Input: a configuration byte (host refusals), then, interleaved with what
// the far side sends, the driver's actions: a listener turn (every frame
// announced while CTS is on), gate writes and reads through QelMain (a BCU
// frame met during a send is received and delivered: the collision path), a
// frame sent as is, a warm start.
//
// Invariants: the received length is 0 or matches its header
// ((header & 0x1F) + 1), after every action and at every delivery; a
// delivered group address is spelled "D_mm/ssss", "A_mm/ssss" or "A2mm/ssss".
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "entry/qel_main.h"
#include "fuzz/support/fake_host.h"
#include "fuzz/support/far_side.h"
#include "commands/catch_decode.h"
#include "commands/read_signals.h"
#include "serial/comm.h"
#include "serial/frames.h"

namespace {

using qel::InstanceData;

constexpr int32_t kNumber = 1;
constexpr int kActionsPerRun = 24;
constexpr int kFramesPerTurn = 32;

InstanceData* g_instance = nullptr;

void Require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "frame reception invariant broken: %s\n", what);
    std::abort();
}

void CheckReceivedLength() {
    const int16_t length = g_instance->receivedLength;
    Require(length == 0 || length == (g_instance->receivedBytes[0] & 0x1F) + 1,
            "received length is 0 or (header & 0x1F) + 1");
}

void CheckDelivery(const char* address) {
    CheckReceivedLength();
    Require(g_instance->receivedLength > 0, "a delivery comes from a received frame");
    const bool prefix = std::strncmp(address, "D_", 2) == 0 || std::strncmp(address, "A_", 2) == 0 ||
                        std::strncmp(address, "A2", 2) == 0;
    bool digits = std::strlen(address) == 9 && address[4] == '/';
    for (int i : {2, 3, 5, 6, 7, 8}) digits = digits && std::isdigit(static_cast<unsigned char>(address[i]));
    Require(prefix && digits, "delivered address is spelled as a gate address");
}

// The listener's turn with the line, as its thread takes it after an idle pause
// (in which the far side may do its next step).
void ListenerTurn(InstanceData* instance) {
    const qel::PortHandle port = instance->portHandle;
    qel::platform::Port* line = reinterpret_cast<qel::platform::Port*>(static_cast<uintptr_t>(port));
    line->methods->awaitLine(line, 20);
    for (int frames = 0; frames < kFramesPerTurn && qel::CommGetCts(port); ++frames) {
        if (qel::ReceiveFrame(instance) == qel::ReceiveResult::kReceived) {
            CheckReceivedLength();
            qel::DeliverReceivedFrame(instance);
        } else {
            qel::PulseDtr(port);
        }
        CheckReceivedLength();
    }
}

int32_t GateRequest(InstanceData* instance, uint32_t code, qel::fuzz::FuzzInput& input) {
    qel::RawValue value{0, input.Word()};
    qel::GateBlock block{};
    block.commandIndex = input.Byte() % 14;  // 12 and 13 are out of range
    block.groupAddress = input.Word();
    block.gateId = 7;
    block.valueArea = &value;
    qel::RequestBlock request{instance, code, 0, {}, &block};
    return QelMain(&request);
}

void SendAsIs(InstanceData* instance, qel::fuzz::FuzzInput& input) {
    qel::FrameImage image{};
    for (int i = 0; i < 32; ++i) image.bytes[i] = input.Byte();
    qel::SendDelivering(instance, image);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    qel::fuzz::InstallFakeWorld();
    qel::fuzz::HostState& host = qel::fuzz::Host();
    host.lookupFails = (data[0] & 1) != 0;
    host.cookFails = (data[0] & 2) != 0;
    host.putFails = (data[0] & 4) != 0;
    host.rawValue = data[0] >> 3;
    host.onLookup = CheckDelivery;

    qel::fuzz::FuzzInput input(data + 1, size - 1);
    qel::fuzz::FarSide far(input);
    auto instance = std::make_unique<InstanceData>();
    g_instance = instance.get();
    std::strcpy(instance->instanceName, "QelEIB01");
    std::strcpy(instance->clientName, "QelEIB01");
    instance->instanceNumber = kNumber;
    instance->clientId = 1;

    qel::fuzz::OfferStream(far.Stream());
    qel::PortHandle port = qel::kNoPort;
    const qel::LineSettings line{9600, 8, 0, 0};
    if (qel::CommOpen("VLINE", line, 0x0101, &port) != qel::OpenResult::kOpened) return 0;
    instance->portHandle = port;
    qel::CommSetReadTimeout(port, 10);
    instance->lineLock = qel::platform::Sys().createMutex(nullptr);
    Require(instance->lineLock != nullptr, "a mutex for the line");

    for (int action = 0; action < kActionsPerRun && !input.Empty() && !far.Closed(); ++action) {
        switch (input.Byte() % 6) {
        case 0:
        case 1: ListenerTurn(instance.get()); break;
        case 2: GateRequest(instance.get(), 7, input); break;
        case 3: GateRequest(instance.get(), 5, input); break;
        case 4: SendAsIs(instance.get(), input); break;
        case 5: {
            qel::RequestBlock request{instance.get(), 2, 0, {}, nullptr};
            QelMain(&request);
            break;
        }
        }
        CheckReceivedLength();
    }

    qel::CommClose(port);
    qel::platform::Sys().closeMutex(instance->lineLock);
    qel::ForgetExpectedValue(kNumber);
    qel::ClearFlags(kNumber);
    g_instance = nullptr;
    return 0;
}
