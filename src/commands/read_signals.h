// Process-wide per-instance signals from frame reception to a waiting read,
// indexed by instance number. Values are stored before their flag; flags are
// set with release and polled with acquire ordering, so a flag seen set makes
// the value stored before it visible.
#pragma once

#include <cstdint>

namespace qel {

// A frame was received on the instance's line.
void SetFrameFlag(int32_t number);
bool FrameFlagSet(int32_t number);
// The value a pending read waits for was delivered.
bool ValueFlagSet(int32_t number);
// Clears both flags of one instance.
void ClearFlags(int32_t number);

// What a read waits for: a group value of this size for this group address,
// or (kCell) the BCU's memory answer for this cell.
enum class ValueSize : uint8_t { kNone = 0, kBit = 1, kByte = 2, kWord = 3, kCell = 4 };

// Announces the read before its flags are cleared; later values of other groups,
// sizes or cells are still delivered and stored but do not answer it.
void ExpectValue(int32_t number, ValueSize size, uint16_t address);
void ForgetExpectedValue(int32_t number);
// Called by the decoder after a delivery: when the value is the one expected,
// keeps it for the read and sets the value flag.
void OfferValue(int32_t number, ValueSize size, uint16_t address, uint16_t value);
// Waits until the value flag is set (woken by OfferValue) or limitMs has
// passed; true when it is set.
bool WaitValueFlag(int32_t number, uint32_t limitMs);
// The value that answered the read (valid once ValueFlagSet).
uint16_t ExpectedValue(int32_t number);

}  // namespace qel
