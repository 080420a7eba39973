#include "ft12/emi_messages.h"

#include <cstring>

#include "link/cemi_frames.h"

namespace qel::ft12 {
namespace {

// Message codes beyond the cEMI L_Data ones, which EMI2 shares.
constexpr uint8_t kValueRead = 0x4C;     // PC_GetValue.req
constexpr uint8_t kValueAnswer = 0x4B;   // PC_GetValue.con
constexpr uint8_t kValueWrite = 0x46;    // PC_SetValue.req
constexpr uint8_t kPeiSwitch = 0xA9;     // PEI_Switch.req
constexpr uint8_t kPropWrite = 0xF6;     // M_PropWrite.req
constexpr uint8_t kPropWriteCon = 0xF5;  // M_PropWrite.con
constexpr uint8_t kBcuIndication = 0x49;
constexpr size_t kValueReadSize = 4;     // code, count, cell high, cell low
constexpr size_t kEmi2DataMin = 8;       // code, control, source, destination, routing, transport control

constexpr uint8_t kNormalMode[] = {kPeiSwitch, 0x1E, 0x12, 0x34, 0x56, 0x78, 0x9A};
constexpr uint8_t kLinkLayer[] = {kPeiSwitch, 0x00, 0x18, 0x34, 0x56, 0x78, 0x0A};
// The cEMI server object (8), instance 1, PID_COMM_MODE (52), one element from 1, value 0: link layer.
constexpr uint8_t kCommModeWrite[] = {kPropWrite, 0x00, 0x08, 0x01, 0x34, 0x10, 0x01, 0x00};

size_t Copy(const uint8_t* bytes, size_t n, uint8_t* out) {
    std::memcpy(out, bytes, n);
    return n;
}

uint16_t Get16(const uint8_t* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }

}  // namespace

size_t NormalModeSwitch(uint8_t* out) { return Copy(kNormalMode, sizeof kNormalMode, out); }
size_t LinkLayerSwitch(uint8_t* out) { return Copy(kLinkLayer, sizeof kLinkLayer, out); }
size_t CommunicationModeWrite(uint8_t* out) { return Copy(kCommModeWrite, sizeof kCommModeWrite, out); }

size_t MessageOfImage(Emi emi, const uint8_t* image, uint8_t* out) {
    const size_t length = image[0] & 0x1Fu;
    if (length == 0) return 0;
    if (emi == Emi::kCemi) return image[1] == cemi::kLDataReq ? cemi::CemiFromBcuRequest(image, out) : 0;
    switch (image[1]) {
    case cemi::kLDataReq: {
        // EMI2 is the BCU's frame without its header, up to the routing byte's length.
        const size_t n = kEmi2DataMin + (length >= kEmi2DataMin ? image[7] & 0x0Fu : 0x10u);
        return n <= length ? Copy(image + 1, n, out) : 0;
    }
    case kValueWrite: return Copy(image + 1, length, out);
    case kValueRead: return length >= kValueReadSize ? Copy(image + 1, kValueReadSize, out) : 0;
    default: return 0;
    }
}

Answer AnswerOf(const uint8_t* message) {
    switch (message[0]) {
    case cemi::kLDataReq: return Answer::kDataConfirm;
    case kValueRead: return Answer::kValue;
    case kPropWrite: return Answer::kPropertyConfirm;
    default: return Answer::kNone;
    }
}

const char* MessageName(const uint8_t* message) {
    switch (message[0]) {
    case cemi::kLDataReq: return "L_Data.req";
    case kValueRead: return "PC_GetValue.req";
    case kValueWrite: return "PC_SetValue.req";
    case kPeiSwitch: return "PEI_Switch.req";
    case kPropWrite: return "M_PropWrite.req";
    default: return "frame";
    }
}

Incoming ReadIncoming(Emi emi, const uint8_t* message, size_t n) {
    Incoming in{Answer::kNone, false, 0};
    if (n == 0) return in;
    if (message[0] == kPropWriteCon && n >= sizeof kCommModeWrite - 1) {
        in.answers = Answer::kPropertyConfirm;
        in.positive = (message[5] >> 4) != 0;  // no elements: the error code follows
        return in;
    }
    if (message[0] == kValueAnswer && emi == Emi::kEmi2) {
        in.answers = Answer::kValue;
        in.positive = true;
        return in;
    }
    if (message[0] != cemi::kLDataCon) return in;
    if (emi == Emi::kCemi) {
        cemi::CemiData frame{};
        if (!cemi::ParseCemi(message, n, &frame)) return in;
        in.positive = !cemi::IsNegativeConfirm(frame);
        in.destination = frame.destination;
    } else {
        if (n < kEmi2DataMin) return in;
        in.positive = (message[1] & 0x01) == 0;
        in.destination = Get16(message + 4);
    }
    in.answers = Answer::kDataConfirm;
    return in;
}

bool ImageOfMessage(Emi emi, const uint8_t* message, size_t n, uint8_t* image, size_t size) {
    if (n == 0) return false;
    if (emi == Emi::kCemi) {
        cemi::CemiData frame{};
        if (message[0] != cemi::kLDataInd || !cemi::ParseCemi(message, n, &frame)) return false;
        return cemi::BcuIndicationFromCemi(frame, image, size) != 0;
    }
    const bool indication = message[0] == cemi::kLDataInd && n >= kEmi2DataMin && n == 8u + (message[6] & 0x0Fu);
    const bool value = message[0] == kValueAnswer && n >= kValueReadSize;
    // The header's five bits hold the length.
    if ((!indication && !value) || n > 0x1F || n + 1 > size) return false;
    image[0] = cemi::HeaderByte(static_cast<uint8_t>(n));
    std::memcpy(image + 1, message, n);
    if (indication) image[1] = kBcuIndication;
    return true;
}

}  // namespace qel::ft12
