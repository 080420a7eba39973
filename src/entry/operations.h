// The operations behind the function codes of QelMain.
#pragma once

#include <cstdint>

#include "instance/instance_data.h"

namespace qel {

using Operation = int32_t (*)(RequestBlock* request);

int32_t ColdStart(RequestBlock* request);        // 1
int32_t WarmStart(RequestBlock* request);        // 2
int32_t SingleParser(RequestBlock* request);     // 3
int32_t GateRead(RequestBlock* request);         // 5
int32_t GateWrite(RequestBlock* request);        // 7
int32_t EndQel(RequestBlock* request);           // 11
int32_t ClosePort(RequestBlock* request);        // 12
int32_t OpenPort(RequestBlock* request);         // 13
int32_t DescribeDriver(RequestBlock* request);   // 14
int32_t ReconfigurePort(RequestBlock* request);  // 15
int32_t DoNothing(RequestBlock* request);        // 4, 6, 10

}  // namespace qel
