// The parse of a gate address (request code 3). SingleParser itself is an
// operation (commands/operations.h); these are its two steps.
#pragma once

#include "abi/records.h"

namespace qel {

// Longest address the parse takes: the image and the character check cover 9 positions.
constexpr int kAddressLength = 9;

// Finds the row that the upper-cased address `text` names. Returns its command
// index, or -1. A group-value match stores the GroupAddress at the ParseBlock's +24.
// Logs with the request's instanceName; the request must carry both pointers.
int SearchCmdName(RequestBlock* request, const char* text);

// True when the gate type at +8 is the one that the row at +20 requires.
// Logs under "EIB" when it is not.
bool CheckGateType(ParseBlock* block);

}  // namespace qel
