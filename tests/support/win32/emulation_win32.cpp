#include "support/emulation.h"

namespace qel::test {

// Wine does not start under qemu-user: the Windows leg never runs there.
bool UnderUserEmulation() { return false; }

}  // namespace qel::test
