#include <sys/utsname.h>
#include <unistd.h>

#include <cstring>

#include "support/emulation.h"

namespace qel::test {

// Natively a 32-bit program on an x86-64 kernel is told x86_64; qemu-user
// names the machine it emulates.
bool UnderUserEmulation() {
    utsname name{};
    if (uname(&name) != 0 || std::strcmp(name.machine, "x86_64") == 0) return false;
    return access("/proc/sys/fs/binfmt_misc/qemu-i386", F_OK) == 0;
}

}  // namespace qel::test
