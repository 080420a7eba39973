// The host's requests served by the commands: parse, read and write a gate.
// The request and its instance are checked by the entry.
#pragma once

#include "abi/records.h"
#include "commands/result.h"

namespace qel {

Result SingleParser(RequestBlock* request);  // 3
Result GateRead(RequestBlock* request);      // 5
Result GateWrite(RequestBlock* request);     // 7

}  // namespace qel
