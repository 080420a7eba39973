#include "commands/command_table.h"

#include <cstring>

#include "commands/gate_functions.h"
#include "host/log_texts.h"

namespace qel {
namespace {

// Memory requests: header, code (0x46 write, 0x4C read), count, cell high, cell low, value.
constexpr uint8_t kGet0116Frame[] = {0xA5, 0x4C, 0x03, 0x01, 0x16, 0x00};
constexpr uint8_t kGetLayerFrame[] = {0xA5, 0x4C, 0x03, 0x00, 0x60, 0x00};
constexpr uint8_t kLinkLayerFrame[] = {0xA5, 0x46, 0x01, 0x00, 0x60, 0x12};
constexpr uint8_t kResetBcuFrame[] = {0xA5, 0x46, 0x01, 0x00, 0x60, 0xC0};
constexpr uint8_t kPut0116Frame[] = {0xA5, 0x46, 0x01, 0x01, 0x16, 0x00};
constexpr uint8_t kPutLayerFrame[] = {0xA5, 0x46, 0x01, 0x00, 0x60, 0x00};

// Data requests: header, 0x11, control, source (2), destination (2), routing and
// length, transport control, application code, data.
constexpr uint8_t kReadDigital[] = {0xAA, 0x11, 0x00, 0x00, 0x00, 0x08, 0x01, 0xE1, 0x00, 0x00, 0x00};
constexpr uint8_t kReadAnalog[] = {0xAA, 0x11, 0x00, 0x00, 0x00, 0x18, 0x34, 0xE1, 0x00, 0x00, 0x00};
constexpr uint8_t kReadAnalog2[] = {0xAA, 0x11, 0xB0, 0x00, 0x00, 0x18, 0x34, 0xE2, 0x00, 0x00, 0x00};
constexpr uint8_t kWriteDigital[] = {0xAA, 0x11, 0x00, 0x00, 0x00, 0x08, 0x01, 0xE1, 0x00, 0x81, 0x00};
constexpr uint8_t kWriteAnalog[] = {0x2B, 0x11, 0x00, 0x00, 0x00, 0x18, 0x34, 0xE2, 0x00, 0x80, 0x80, 0x00};
constexpr uint8_t kWriteAnalog2[] = {0x2B, 0x11, 0xB0, 0x00, 0x00, 0x18, 0x34, 0xE3, 0x00, 0x80, 0x80, 0x00};

// BCU indications (0x49) of a group value: their length field by value size.
constexpr uint8_t kBitIndicationLength = 9;
constexpr uint8_t kByteIndicationLength = 10;
constexpr uint8_t kWordIndicationLength = 11;

}  // namespace

// clang-format off
const CommandRow CommandTable[kCommandCount + 1] = {
    // name         gate type      read template    write template    read           write          at once  value size        delivery       unknown gate              on a tunnel
    {"LINKLAYER",   0,             nullptr,         kLinkLayerFrame,  nullptr,       TemplateWrite, false,   ValueSize::kNone, nullptr,       nullptr,                  OnTunnel::kNothingToDo},
    {"RESETBCU",    0,             nullptr,         kResetBcuFrame,   nullptr,       TemplateWrite, false,   ValueSize::kNone, nullptr,       nullptr,                  OnTunnel::kRenew},
    {"PUT_0116",    0,             nullptr,         kPut0116Frame,    nullptr,       Put116Write,   false,   ValueSize::kNone, nullptr,       nullptr,                  OnTunnel::kRefused},
    {"GET_0116",    0,             kGet0116Frame,   nullptr,          ExchangeRead,  nullptr,       false,   ValueSize::kCell, nullptr,       nullptr,                  OnTunnel::kRefused},
    {"D_",          kBitGateType,  kReadDigital,    kWriteDigital,    ExchangeRead,  DigitalWrite,  false,   ValueSize::kBit,  "D_%02d/%04d", text::kBitGateUnknown,    OnTunnel::kAsOnLine},
    {"A_",          0,             kReadAnalog,     kWriteAnalog,     ExchangeRead,  AnalogWrite,   false,   ValueSize::kByte, "A_%02d/%04d", text::kValueGateUnknown,  OnTunnel::kAsOnLine},
    {"A2",          0,             kReadAnalog2,    kWriteAnalog2,    ExchangeRead,  Analog2Write,  false,   ValueSize::kWord, "A2%02d/%04d", text::kValueGateUnknown,  OnTunnel::kAsOnLine},
    {"GET_LAYER",   0,             kGetLayerFrame,  nullptr,          ExchangeRead,  nullptr,       false,   ValueSize::kCell, nullptr,       nullptr,                  OnTunnel::kRefused},
    {"PUT_LAYER",   0,             nullptr,         kPutLayerFrame,   nullptr,       PutLayerWrite, false,   ValueSize::kNone, nullptr,       nullptr,                  OnTunnel::kRefused},
    {"CHK_COMM",    0,             nullptr,         nullptr,          CheckCommRead, nullptr,       false,   ValueSize::kNone, nullptr,       nullptr,                  OnTunnel::kAsOnLine},
    {"SET_DTR",     0,             nullptr,         nullptr,          nullptr,       SetDtrWrite,   true,    ValueSize::kNone, nullptr,       nullptr,                  OnTunnel::kRefused},
    {"SET_RTS",     0,             nullptr,         nullptr,          nullptr,       SetRtsWrite,   true,    ValueSize::kNone, nullptr,       nullptr,                  OnTunnel::kRefused},
    {"",            0,             nullptr,         nullptr,          nullptr,       nullptr,       false,   ValueSize::kNone, nullptr,       nullptr,                  OnTunnel::kAsOnLine},
};
// clang-format on

const CommandRow* RowForIndicationLength(uint8_t length) {
    switch (length) {
    case kBitIndicationLength: return &CommandTable[kGroupBit];
    case kByteIndicationLength: return &CommandTable[kGroupByte];
    case kWordIndicationLength: return &CommandTable[kGroupWord];
    default: return nullptr;
    }
}

FrameImage ImageOf(const uint8_t* frameTemplate) {
    FrameImage image{};
    std::memcpy(image.bytes, frameTemplate, (frameTemplate[0] & 0x1F) + 1u);
    return image;
}

const char* GroupAddressFormat(int index) { return IsCommandIndex(index) ? CommandTable[index].deliveryFormat : nullptr; }

}  // namespace qel
