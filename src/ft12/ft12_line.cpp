#include "ft12/ft12_line.h"

#include <algorithm>

#include "host/log.h"

namespace qel {
namespace {

using platform::Sys;

// The interface acknowledges as soon as a frame's end byte is in; 200 ms
// beyond the frame's own time on the wire leaves room for a USB adapter's
// latency and a busy host, and stays under the 300 ms a read gives its answer.
constexpr uint32_t kAckWaitMs = 200;
constexpr uint32_t kBitsPerByte = 11;  // start, 8 data, parity, stop
// A frame whose next byte has not come in this long is cut (the interface
// sends its bytes back to back, and repeats an unacknowledged frame after about 150 ms).
constexpr uint32_t kByteGapMs = 50;
// The L_Data.con follows the telegram on the bus, with its repeats: as the tunnel's.
constexpr uint32_t kConfirmWaitMs = 3000;
// The PC_GetValue.con comes at once; a read waits as long again itself.
constexpr uint32_t kValueWaitMs = 300;
constexpr uint32_t kPropertyWaitMs = 1000;
constexpr int kSendAttempts = 2;  // a frame not acknowledged is sent once more, same frame-count bit

const char* EmiName(ft12::Emi emi) { return emi == ft12::Emi::kCemi ? "cEMI" : "EMI2"; }

bool WriteAll(Ft12Line* line, const uint8_t* bytes, uint32_t n) {
    uint32_t written = 0;
    return line->port->methods->write(line->port, bytes, n, &written) && written == n;
}

void Acknowledge(Ft12Line* line) {
    const uint8_t ack = ft12::kAck;
    WriteAll(line, &ack, 1);
}

void NoteBadFrame(InstanceData* instance, Ft12Line* line) {
    if (line->dropLogged) return;
    line->dropLogged = true;
    QEL_LOG(text::kFt12BadFrame, instance->instanceName, line->device, line->reader.badFrames());
}

// A message taken from the interface: the answer awaited, and what the commands decode.
void TakeMessage(InstanceData* instance, Ft12Line* line, FrameHandler onFrame) {
    const uint8_t* message = line->reader.data();
    const size_t n = line->reader.size();
    const ft12::Incoming in = ft12::ReadIncoming(line->emi, message, n);
    if (in.answers != ft12::Answer::kNone && in.answers == line->awaiting &&
        (in.answers != ft12::Answer::kDataConfirm || in.destination == line->awaitedDestination)) {
        line->answered = true;
        line->positive = in.positive;
    }
    if (ft12::ImageOfMessage(line->emi, message, n, instance->receivedBytes, sizeof instance->receivedBytes))
        onFrame(instance);
}

void TakeEvent(InstanceData* instance, Ft12Line* line, ft12::Event event, FrameHandler onFrame) {
    switch (event) {
    case ft12::Event::kNone: return;
    case ft12::Event::kAcknowledged:
        if (line->awaitingAck) line->acked = true;
        return;
    case ft12::Event::kBad: NoteBadFrame(instance, line); return;
    case ft12::Event::kFixed:
        line->dropLogged = false;
        Acknowledge(line);
        if (line->reader.control() == ft12::kResetControl) line->fresh = true;
        return;
    case ft12::Event::kData: break;
    }
    line->dropLogged = false;
    Acknowledge(line);
    const uint8_t control = line->reader.control();
    if ((control & ~ft12::kFrameCountBit) != ft12::kReceiveControl || line->reader.size() == 0) return;
    const auto bit = static_cast<uint8_t>(control & ft12::kFrameCountBit);
    if (!line->fresh && bit == line->takenBit) return;  // a repeat: acknowledged again, not taken twice
    line->fresh = false;
    line->takenBit = bit;
    TakeMessage(instance, line, onFrame);
}

// Everything waiting on the port, frame by frame; a frame cut short is
// dropped. False when the port failed.
bool Pump(InstanceData* instance, Ft12Line* line, FrameHandler onFrame) {
    platform::Port* port = line->port;
    for (;;) {
        uint32_t waiting = 0;
        uint32_t errors = 0;
        if (!port->methods->queryInput(port, &waiting, &errors)) return false;
        if (waiting == 0) break;
        uint32_t got = 0;
        const uint32_t want = std::min<uint32_t>(waiting, sizeof line->input);
        if (!port->methods->read(port, line->input, want, &got)) return false;
        if (got == 0) break;
        line->lastByteMs = Sys().tickMs();
        for (uint32_t i = 0; i < got; ++i) TakeEvent(instance, line, line->reader.Take(line->input[i]), onFrame);
    }
    if (line->reader.InFrame() && Sys().tickMs() - line->lastByteMs >= kByteGapMs)
        TakeEvent(instance, line, line->reader.Cut(), onFrame);
    return true;
}

// Until `done` or maxMs passed, taking the interface's frames.
template <typename Done>
bool WaitFor(InstanceData* instance, Ft12Line* line, uint32_t maxMs, Done done, FrameHandler onFrame) {
    const uint32_t start = Sys().tickMs();
    for (;;) {
        if (!Pump(instance, line, onFrame)) return false;
        if (done()) return true;
        const uint32_t elapsed = Sys().tickMs() - start;
        if (elapsed >= maxMs) return false;
        uint32_t wait = maxMs - elapsed;
        if (line->reader.InFrame()) wait = std::min(wait, kByteGapMs);
        if (!line->port->methods->awaitInput(line->port, nullptr, wait)) return false;
    }
}

// Sends a frame and waits for its acknowledgement; once more when none came.
bool SendAcknowledged(InstanceData* instance, Ft12Line* line, size_t n, FrameHandler onFrame) {
    const uint32_t wireMs = static_cast<uint32_t>(n) * kBitsPerByte * 1000 / std::max<uint32_t>(line->baud, 1) + 1;
    for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
        if (!Pump(instance, line, onFrame)) return false;  // what came before is no acknowledgement of this
        line->acked = false;
        line->awaitingAck = true;
        const bool acked = WriteAll(line, line->frame, static_cast<uint32_t>(n)) &&
                           WaitFor(instance, line, kAckWaitMs + wireMs, [line] { return line->acked; }, onFrame);
        line->awaitingAck = false;
        if (acked) return true;
    }
    return false;
}

// A message in a data frame, acknowledged, then its answer awaited if it has one.
bool SendMessage(InstanceData* instance, Ft12Line* line, size_t n, FrameHandler onFrame) {
    const auto control = static_cast<uint8_t>(ft12::kSendControl | line->sendBit);
    const size_t size = ft12::DataFrame(control, line->message, n, line->frame);
    if (size == 0) return false;
    line->awaiting = ft12::AnswerOf(line->message);
    line->answered = false;
    if (!SendAcknowledged(instance, line, size, onFrame)) {
        QEL_LOG(text::kFt12NoAck, instance->instanceName, line->device, ft12::MessageName(line->message));
        line->awaiting = ft12::Answer::kNone;
        line->up = false;
        return false;
    }
    line->sendBit ^= ft12::kFrameCountBit;
    uint32_t waitMs = 0;
    switch (line->awaiting) {
    case ft12::Answer::kNone: break;
    case ft12::Answer::kDataConfirm: waitMs = kConfirmWaitMs; break;
    case ft12::Answer::kValue: waitMs = kValueWaitMs; break;
    case ft12::Answer::kPropertyConfirm: waitMs = kPropertyWaitMs; break;
    }
    if (waitMs != 0) WaitFor(instance, line, waitMs, [line] { return line->answered; }, onFrame);
    line->awaiting = ft12::Answer::kNone;
    return true;
}

bool Reset(InstanceData* instance, Ft12Line* line, FrameHandler onFrame) {
    line->reader.Clear();
    const size_t n = ft12::ResetFrame(line->frame);
    if (!SendAcknowledged(instance, line, n, onFrame)) {
        QEL_LOG(text::kFt12NoAck, instance->instanceName, line->device, "reset");
        return false;
    }
    line->sendBit = ft12::kFrameCountBit;
    line->fresh = true;
    return true;
}

bool SwitchToLinkLayer(InstanceData* instance, Ft12Line* line, FrameHandler onFrame) {
    if (line->emi == ft12::Emi::kEmi2) {
        // Back to normal mode first, from whatever mode the BCU was left in.
        return SendMessage(instance, line, ft12::NormalModeSwitch(line->message), onFrame) &&
               SendMessage(instance, line, ft12::LinkLayerSwitch(line->message), onFrame);
    }
    const size_t n = ft12::CommunicationModeWrite(line->message);
    if (!SendMessage(instance, line, n, onFrame)) return false;
    if (!line->answered) {
        QEL_LOG(text::kFt12NoAnswer, instance->instanceName, line->device, "M_PropWrite.req");
        return false;
    }
    if (!line->positive) QEL_LOG(text::kFt12LinkLayerRefused, instance->instanceName, line->device);
    return line->positive;
}

}  // namespace

SendResult EstablishFt12(InstanceData* instance, Ft12Line* line, FrameHandler onFrame) {
    const bool wasUp = line->up;
    line->up = false;
    if (!Reset(instance, line, onFrame) || !SwitchToLinkLayer(instance, line, onFrame)) return SendResult::kFailed;
    line->up = true;
    if (!wasUp) QEL_LOG(text::kFt12LinkLayer, instance->instanceName, line->device, EmiName(line->emi));
    return SendResult::kSent;
}

SendResult Ft12Send(InstanceData* instance, Ft12Line* line, const uint8_t* image, FrameHandler onFrame) {
    if (!line->up && EstablishFt12(instance, line, onFrame) != SendResult::kSent) return SendResult::kFailed;
    const size_t n = ft12::MessageOfImage(line->emi, image, line->message);
    line->awaitedDestination = static_cast<uint16_t>(image[5] << 8 | image[6]);  // a data request's
    if (n == 0 || !SendMessage(instance, line, n, onFrame)) return SendResult::kFailed;
    if (ft12::AnswerOf(line->message) != ft12::Answer::kDataConfirm) return SendResult::kSent;
    if (line->answered && line->positive) return SendResult::kSent;
    QEL_LOG(text::kFt12NotConfirmed, instance->instanceName, line->device,
            line->answered ? "negative L_Data.con" : "no L_Data.con");
    return SendResult::kFailed;
}

bool ServeFt12(InstanceData* instance, Ft12Line* line, platform::Wake* wake, uint32_t maxMs, FrameHandler onFrame) {
    if (!Pump(instance, line, onFrame)) return false;
    const uint32_t wait = line->reader.InFrame() ? std::min(maxMs, kByteGapMs) : maxMs;
    return line->port->methods->awaitInput(line->port, wake, wait) && Pump(instance, line, onFrame);
}

void DropFt12Input(Ft12Line* line) {
    platform::Port* port = line->port;
    uint32_t waiting = 0;
    uint32_t errors = 0;
    while (port->methods->queryInput(port, &waiting, &errors) && waiting > 0) {
        uint32_t got = 0;
        if (!port->methods->read(port, line->input, std::min<uint32_t>(waiting, sizeof line->input), &got) ||
            got == 0)
            break;
    }
    line->reader.Clear();
}

}  // namespace qel
