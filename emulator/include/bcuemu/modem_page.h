/* Modem lines for a pseudo terminal, shared between the emulated BCU that
 * holds the terminal's far end and the test-only preload library that gives
 * its device side RTS, DTR and CTS (a pty has none of its own).
 *
 * For the device with number (major, minor) the BCU side creates:
 *   /tmp/qel-modem-MAJOR.MINOR       this page, mapped shared by both sides
 *   /tmp/qel-modem-MAJOR.MINOR.fifo  a FIFO: one QelModemChange per RTS or DTR edge
 * The preload library sets the RTS and DTR bits of `lines`, then writes the
 * change to the FIFO, so the BCU side sees every edge in order (a short DTR
 * pulse too). The BCU side sets the CTS bit, counts the change in
 * `ctsChanges` and wakes futex waiters on it (TIOCMIWAIT). `alive` drops to 0
 * when the BCU side lets the terminal go; a mapping of such a page is stale.
 * C and C++: both sides include it. */
#ifndef BCUEMU_MODEM_PAGE_H
#define BCUEMU_MODEM_PAGE_H

#include <stdint.h>

#define QEL_MODEM_PAGE_MAGIC 0x4d444d51u /* "QMDM" */
#define QEL_MODEM_PAGE_FORMAT "/tmp/qel-modem-%u.%u"
#define QEL_MODEM_FIFO_SUFFIX ".fifo"

/* An edge on the FIFO, written whole (under PIPE_BUF, so never split). The
 * stamp lets the BCU side record the edge when it happened, not when its
 * thread got to it. */
#define QEL_MODEM_CHANGE_DTR 0x01u /* set: DTR, clear: RTS */
#define QEL_MODEM_CHANGE_ON 0x02u  /* set: raised, clear: dropped */

struct QelModemChange {
    uint8_t change;      /* QEL_MODEM_CHANGE_* */
    uint8_t reserved[3];
    uint32_t stampUs;    /* CLOCK_MONOTONIC in microseconds, low 32 bits */
};

struct QelModemPage {
    uint32_t magic;      /* QEL_MODEM_PAGE_MAGIC once the page is ready */
    uint32_t alive;      /* 1 while the BCU side serves the terminal */
    uint32_t lines;      /* TIOCM_RTS, TIOCM_DTR (device side), TIOCM_CTS (BCU side) */
    uint32_t ctsChanges; /* CTS changes so far; futex word */
};

#endif
