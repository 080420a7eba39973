// The host's requests that the entry serves itself.
#pragma once

#include "abi/records.h"
#include "commands/result.h"

namespace qel {

Result DescribeDriver(RequestBlock* request);  // 14
Result DoNothing(RequestBlock* request);       // 4, 6, 10

}  // namespace qel
