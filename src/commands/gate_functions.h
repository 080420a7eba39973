// The reads and writes that CommandTable's rows point to.
#pragma once

#include "commands/command_table.h"

namespace qel {

// Reads.
Result ExchangeRead(RequestBlock* request, const CommandRow& row);
Result CheckCommRead(RequestBlock* request, const CommandRow& row);

// Writes.
Result TemplateWrite(RequestBlock* request, const CommandRow& row);
Result Put116Write(RequestBlock* request, const CommandRow& row);
Result PutLayerWrite(RequestBlock* request, const CommandRow& row);
Result DigitalWrite(RequestBlock* request, const CommandRow& row);
Result AnalogWrite(RequestBlock* request, const CommandRow& row);
Result Analog2Write(RequestBlock* request, const CommandRow& row);
Result SetDtrWrite(RequestBlock* request, const CommandRow& row);
Result SetRtsWrite(RequestBlock* request, const CommandRow& row);

}  // namespace qel
