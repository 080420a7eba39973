#include "commands/command_table.h"

#include <cstring>

#include "commands/gate_functions.h"
#include "host/log_texts.h"
#include "link/bcu_frames.h"

namespace qel {
namespace {

// Memory requests (more in link/bcu_frames.h): header, code (0x46 write, 0x4C read), count, cell high, cell low, value.
constexpr uint8_t kGet0116Frame[] = {0xA5, 0x4C, 0x03, 0x01, 0x16, 0x00};
constexpr uint8_t kGetLayerFrame[] = {0xA5, 0x4C, 0x03, 0x00, 0x60, 0x00};
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
    // name         gate type      read template    write template    read           write          at once  value size        delivery       unknown gate              BCU command
    {"LINKLAYER",   0,             nullptr,         kLinkLayerFrame,  nullptr,       TemplateWrite, false,   ValueSize::kNone, nullptr,       nullptr,                  BcuCommand::kLinkLayer},
    {"RESETBCU",    0,             nullptr,         kResetBcuFrame,   nullptr,       TemplateWrite, false,   ValueSize::kNone, nullptr,       nullptr,                  BcuCommand::kResetBcu},
    {"PUT_0116",    0,             nullptr,         kPut0116Frame,    nullptr,       Put116Write,   false,   ValueSize::kNone, nullptr,       nullptr,                  BcuCommand::kCell0116},
    {"GET_0116",    0,             kGet0116Frame,   nullptr,          ExchangeRead,  nullptr,       false,   ValueSize::kCell, nullptr,       nullptr,                  BcuCommand::kCell0116},
    {"D_",          kBitGateType,  kReadDigital,    kWriteDigital,    ExchangeRead,  DigitalWrite,  false,   ValueSize::kBit,  "D_%02d/%04d", text::kBitGateUnknown,    BcuCommand::kNone},
    {"A_",          0,             kReadAnalog,     kWriteAnalog,     ExchangeRead,  AnalogWrite,   false,   ValueSize::kByte, "A_%02d/%04d", text::kValueGateUnknown,  BcuCommand::kNone},
    {"A2",          0,             kReadAnalog2,    kWriteAnalog2,    ExchangeRead,  Analog2Write,  false,   ValueSize::kWord, "A2%02d/%04d", text::kValueGateUnknown,  BcuCommand::kNone},
    {"GET_LAYER",   0,             kGetLayerFrame,  nullptr,          ExchangeRead,  nullptr,       false,   ValueSize::kCell, nullptr,       nullptr,                  BcuCommand::kLayerCell},
    {"PUT_LAYER",   0,             nullptr,         kPutLayerFrame,   nullptr,       PutLayerWrite, false,   ValueSize::kNone, nullptr,       nullptr,                  BcuCommand::kLayerCell},
    {"CHK_COMM",    0,             nullptr,         nullptr,          CheckCommRead, nullptr,       false,   ValueSize::kNone, nullptr,       nullptr,                  BcuCommand::kNone},
    {"SET_DTR",     0,             nullptr,         nullptr,          nullptr,       SetDtrWrite,   true,    ValueSize::kNone, nullptr,       nullptr,                  BcuCommand::kModemLine},
    {"SET_RTS",     0,             nullptr,         nullptr,          nullptr,       SetRtsWrite,   true,    ValueSize::kNone, nullptr,       nullptr,                  BcuCommand::kModemLine},
    {"",            0,             nullptr,         nullptr,          nullptr,       nullptr,       false,   ValueSize::kNone, nullptr,       nullptr,                  BcuCommand::kNone},
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
