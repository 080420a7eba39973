#include <cstring>

#include "serial/frames.h"

namespace qel {

bool IsHeaderByte(uint8_t byte) {
    if (byte == 0xA0) return false;  // length 0: the BCU's reset message, not a frame
    uint8_t parity = 0;
    for (int bit = 0; bit < 7; ++bit) parity ^= static_cast<uint8_t>((byte >> bit) & 1);
    if (((byte >> 7) & 1) != parity) return false;
    if ((byte & 0x20) == 0) return false;
    if ((byte & 0x40) != 0) return false;
    return true;
}

void LoadFrame(const uint8_t* image, InstanceData* instance) {
    instance->receivedLength = 0;
    instance->frameLength = static_cast<uint16_t>((image[0] & 0x1F) + 1);
    std::memcpy(instance->frameBytes, image, instance->frameLength);
}

}  // namespace qel
