// Whether this test program runs under qemu-user (a kernel that runs no
// 32-bit programs, scripts/setup.sh): there the robust-mutex list is not kept,
// so a lock's owner that ended is never reported.
#pragma once

namespace qel::test {

bool UnderUserEmulation();

// Skips the case under qemu-user, with the reason.
#define QEL_SKIP_UNDER_EMULATION_IF_OWNER_DEATH_NEEDED()                                         \
    do {                                                                                          \
        if (::qel::test::UnderUserEmulation())                                                    \
            GTEST_SKIP() << "qemu-user keeps no robust-mutex list: an owner's end is not reported"; \
    } while (0)

}  // namespace qel::test
