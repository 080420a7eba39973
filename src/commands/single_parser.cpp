#include "commands/single_parser.h"

#include <cstring>

#include "commands/command_table.h"
#include "commands/operations.h"
#include "host/log.h"
#include "host/loggable_text.h"

namespace qel {
namespace {

constexpr uint32_t kOut28 = 255;
constexpr uint32_t kOut32 = 16;
constexpr uint32_t kOut32BitGate = 1;

// Positions of a group-value address: "D_mm/ssss".
constexpr int kSlashPosition = 4;
constexpr int kMainGroupPosition = 2;
constexpr int kMainGroupDigits = 2;
constexpr int kSubGroupPosition = 5;
constexpr int kSubGroupDigits = 4;

constexpr char kAllowedChars[] = "_/ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
// One set per position of the image; today they are all the same.
constexpr const char* kAllowedAt[kAddressLength] = {
    kAllowedChars, kAllowedChars, kAllowedChars, kAllowedChars, kAllowedChars,
    kAllowedChars, kAllowedChars, kAllowedChars, kAllowedChars,
};

// 0x61..0x7F lose 0x20: lower-case letters become upper case and DEL becomes "_".
char UpperCased(char c) {
    auto byte = static_cast<uint8_t>(c);
    if (byte >= 0x61 && byte <= 0x7F) byte = static_cast<uint8_t>(byte - 0x20);
    return static_cast<char>(byte);
}

// Fills the 9-character image from the text, NUL-padded. Reads the text no
// further than its NUL or its tenth character; false when the text is longer
// than the image.
bool BuildImage(const char* text, char (&image)[kAddressLength]) {
    std::memset(image, 0, sizeof image);
    for (int i = 0; i < kAddressLength; ++i) {
        if (text[i] == '\0') return true;
        image[i] = UpperCased(text[i]);
    }
    return text[kAddressLength] == '\0';
}

// Every position holds a character of its set, or NUL.
bool CharactersAllowed(const char (&image)[kAddressLength]) {
    for (int i = 0; i < kAddressLength; ++i) {
        if (image[i] == '\0') continue;
        const char* set = kAllowedAt[i];
        if (std::memchr(set, image[i], std::strlen(set)) == nullptr) return false;
    }
    return true;
}

// A decimal field: digits count 0..9 and "A".."Z" 10..35. Any other byte that
// passed the character check gets a value by the same arithmetic ("_" 40,
// "/" 255, NUL 208); digit and value wrap at 8 and 16 bits. Nothing is
// refused here: the group range check that follows decides.
uint16_t DecimalField(const char* chars, int count) {
    uint16_t value = 0;
    for (int i = 0; i < count; ++i) {
        const auto code = static_cast<uint8_t>(chars[i]);
        const auto digit = static_cast<uint8_t>(code <= 0x39 ? code - 48 : code - 55);
        value = static_cast<uint16_t>(value * 10 + digit);
    }
    return value;
}

}  // namespace

int SearchCmdName(RequestBlock* request, const char* text) {
    if (text == nullptr || text[0] == '\0') return -1;
    auto* block = static_cast<ParseBlock*>(request->params);
    const char* name = request->instance->instanceName;

    // The fields are read at fixed positions; those past the end read as NUL.
    char positions[kAddressLength] = {};
    for (int i = 0; i < kAddressLength && text[i] != '\0'; ++i) positions[i] = text[i];

    for (int index = 0; CommandTable[index].name[0] != '\0'; ++index) {
        const CommandRow& row = CommandTable[index];
        if (std::strcmp(row.name, text) == 0) return index;
        if (row.deliveryFormat == nullptr || std::strncmp(text, row.name, std::strlen(row.name)) != 0) continue;

        if (positions[kSlashPosition] != '/') {
            QEL_LOG(text::kSlashMissing, name, text);
            continue;
        }
        const unsigned mainGroup = DecimalField(positions + kMainGroupPosition, kMainGroupDigits);
        const unsigned subGroup = DecimalField(positions + kSubGroupPosition, kSubGroupDigits);
        if (mainGroup > kMaxMainGroup || subGroup > kMaxSubGroup) {
            QEL_LOG(text::kGroupOutOfRange, name,
                    static_cast<int>(mainGroup), static_cast<int>(subGroup), text);
            continue;
        }
        block->groupAddress = MakeGroupAddress(mainGroup, subGroup);
        return index;
    }
    return -1;
}

bool CheckGateType(ParseBlock* block) {
    const uint32_t index = block->commandIndex;
    if (index < static_cast<uint32_t>(kCommandCount) && CommandTable[index].requiredGateType == block->gateType) {
        return true;
    }
    QEL_LOG(text::kGateTypeMismatch, static_cast<int>(index),
            static_cast<int>(block->gateType), static_cast<unsigned>(block->groupAddress));
    return false;
}

Result SingleParser(RequestBlock* request) {
    const char* name = request->instance->instanceName;
    auto* block = static_cast<ParseBlock*>(request->params);
    if (block == nullptr) {
        QEL_LOG(text::kNoParseBlock, name);
        return Result::kRejected;
    }
    // A missing text is parsed as an empty one.
    const char* address = block->address != nullptr ? block->address : "";

    char image[kAddressLength];
    const bool fits = BuildImage(address, image);

    // Written before any check: the host finds them set after a failure too.
    block->out28 = kOut28;
    block->out32 = block->gateType == kBitGateType ? kOut32BitGate : kOut32;

    if (!fits || !CharactersAllowed(image)) {
        QEL_LOG(text::kInvalidChar, name, host::LoggableText(address).Get());
        return Result::kRejected;
    }

    block->out16 = 0;
    block->groupAddress = 0;
    block->commandIndex = 0;

    char workingCopy[kAddressLength + 1];
    std::memcpy(workingCopy, image, kAddressLength);
    workingCopy[kAddressLength] = '\0';

    const int index = SearchCmdName(request, workingCopy);
    if (index < 0) {
        QEL_LOG(text::kCommandNotFound, name, host::LoggableText(address).Get());
        return Result::kRejected;
    }
    block->commandIndex = static_cast<uint32_t>(index);

    if (!CheckGateType(block)) {
        QEL_LOG(text::kGateTypeRefused, name, host::LoggableText(address).Get());
        return Result::kRejected;
    }
    return Result::kDone;
}

}  // namespace qel
