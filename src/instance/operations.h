// The host's requests served by the instance lifecycle and the port requests.
// The request and its instance are checked by the entry.
#pragma once

#include "abi/records.h"
#include "commands/result.h"

namespace qel {

Result ColdStart(RequestBlock* request);        // 1
Result WarmStart(RequestBlock* request);        // 2
Result EndQel(RequestBlock* request);           // 11
Result ClosePort(RequestBlock* request);        // 12
Result OpenPort(RequestBlock* request);         // 13
Result ReconfigurePort(RequestBlock* request);  // 15

}  // namespace qel
