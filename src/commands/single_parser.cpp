#include "entry/operations.h"

namespace qel {
int32_t SingleParser(RequestBlock*) { return 2; }
}  // namespace qel
