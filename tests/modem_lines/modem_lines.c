/* Test-only preload library: gives a pseudo terminal's device side the modem
 * lines a serial port has. The modem ioctls on a descriptor of a device that
 * an emulated BCU serves (it made a modem page for it, see modem_page.h) are
 * answered from that page; every other call goes to the C library. Loaded
 * with LD_PRELOAD into the process under test only; never shipped. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <linux/serial.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include "bcuemu/modem_page.h"

typedef int (*IoctlFunction)(int, unsigned long, ...);

struct Served {
    dev_t device;
    struct QelModemPage* page;
    int changes; /* FIFO, write end */
};

#define kServedMax 16

static pthread_mutex_t servedLock = PTHREAD_MUTEX_INITIALIZER;
static struct Served served[kServedMax];

/* The mapping itself is kept: a TIOCMIWAIT of another thread may still read it. */
static void Forget(struct Served* s) {
    if (s->changes >= 0) close(s->changes);
    memset(s, 0, sizeof *s);
}

/* The page of `device`, mapped; NULL when no emulated BCU serves it. */
static struct Served* Lookup(dev_t device) {
    struct Served* freeSlot = NULL;
    for (int i = 0; i < kServedMax; ++i) {
        struct Served* s = &served[i];
        if (s->page != NULL && s->device == device) {
            if (__atomic_load_n(&s->page->alive, __ATOMIC_ACQUIRE)) return s;
            Forget(s); /* a BCU that let the terminal go; another may serve it now */
        }
        if (s->page == NULL && freeSlot == NULL) freeSlot = s;
    }
    if (freeSlot == NULL) return NULL;
    char path[64];
    snprintf(path, sizeof path, QEL_MODEM_PAGE_FORMAT, major(device), minor(device));
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return NULL;
    void* map = mmap(NULL, sizeof(struct QelModemPage), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) return NULL;
    struct QelModemPage* page = map;
    if (page->magic != QEL_MODEM_PAGE_MAGIC || !__atomic_load_n(&page->alive, __ATOMIC_ACQUIRE)) {
        munmap(map, sizeof *page);
        return NULL;
    }
    strncat(path, QEL_MODEM_FIFO_SUFFIX, sizeof path - strlen(path) - 1);
    freeSlot->device = device;
    freeSlot->page = page;
    freeSlot->changes = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    return freeSlot;
}

static void Announce(struct Served* s, unsigned change) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    struct QelModemChange record = {(uint8_t)change, {0, 0, 0},
                                     (uint32_t)((uint64_t)now.tv_sec * 1000000u + (uint64_t)now.tv_nsec / 1000u)};
    if (s->changes >= 0 && write(s->changes, &record, sizeof record) != (ssize_t)sizeof record) {
        /* the BCU side is gone or its FIFO full: the page still holds the state */
    }
}

/* Sets RTS and DTR as `wanted` says, announcing each edge. */
static void SetLines(struct Served* s, unsigned wanted) {
    static const unsigned kLines[2] = {TIOCM_RTS, TIOCM_DTR};
    for (int i = 0; i < 2; ++i) {
        const unsigned bit = kLines[i];
        const unsigned on = wanted & bit;
        const unsigned before = on ? __atomic_fetch_or(&s->page->lines, bit, __ATOMIC_ACQ_REL)
                                   : __atomic_fetch_and(&s->page->lines, ~bit, __ATOMIC_ACQ_REL);
        if ((before & bit) != on)
            Announce(s, (bit == TIOCM_DTR ? QEL_MODEM_CHANGE_DTR : 0u) | (on ? QEL_MODEM_CHANGE_ON : 0u));
    }
}

/* Waits for a CTS change (the only input line that changes here). */
static int WaitForChange(struct QelModemPage* page, unsigned long mask) {
    const uint32_t start = __atomic_load_n(&page->ctsChanges, __ATOMIC_ACQUIRE);
    for (;;) {
        if (!__atomic_load_n(&page->alive, __ATOMIC_ACQUIRE)) {
            errno = EIO;
            return -1;
        }
        const uint32_t now = __atomic_load_n(&page->ctsChanges, __ATOMIC_ACQUIRE);
        if ((mask & TIOCM_CTS) != 0 && now != start) return 0;
        syscall(SYS_futex, &page->ctsChanges, FUTEX_WAIT, now, NULL, NULL, 0);
    }
}

static int Serve(struct Served* s, unsigned long request, void* arg) {
    struct QelModemPage* page = s->page;
    switch (request) {
    case TIOCMGET:
        *(int*)arg = (int)__atomic_load_n(&page->lines, __ATOMIC_ACQUIRE);
        return 0;
    case TIOCMSET:
        SetLines(s, (unsigned)*(const int*)arg);
        return 0;
    case TIOCMBIS:
        SetLines(s, __atomic_load_n(&page->lines, __ATOMIC_ACQUIRE) | (unsigned)*(const int*)arg);
        return 0;
    case TIOCMBIC:
        SetLines(s, __atomic_load_n(&page->lines, __ATOMIC_ACQUIRE) & ~(unsigned)*(const int*)arg);
        return 0;
    case TIOCGICOUNT: {
        struct serial_icounter_struct* counts = arg;
        memset(counts, 0, sizeof *counts);
        counts->cts = (int)__atomic_load_n(&page->ctsChanges, __ATOMIC_ACQUIRE);
        return 0;
    }
    default: return -2; /* not ours */
    }
}

static int IsModemRequest(unsigned long request) {
    return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC ||
           request == TIOCMIWAIT || request == TIOCGICOUNT;
}

static int Intercept(const char* name, int fd, unsigned long request, void* arg) {
    struct stat st;
    if (IsModemRequest(request) && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode)) {
        pthread_mutex_lock(&servedLock);
        struct Served* s = Lookup(st.st_rdev);
        struct QelModemPage* page = s != NULL ? s->page : NULL;
        int result = -2;
        if (s != NULL && request != TIOCMIWAIT) result = Serve(s, request, arg);
        pthread_mutex_unlock(&servedLock);
        /* Pages stay mapped (see Forget): safe to wait unlocked. */
        if (page != NULL && request == TIOCMIWAIT) return WaitForChange(page, (unsigned long)arg);
        if (result != -2) return result;
    }
    static IoctlFunction next[2];
    const int which = name[0] == '_';
    IoctlFunction f = __atomic_load_n(&next[which], __ATOMIC_ACQUIRE);
    if (f == NULL) {
        f = (IoctlFunction)dlsym(RTLD_NEXT, name);
        if (f == NULL) f = (IoctlFunction)dlsym(RTLD_NEXT, "ioctl");
        __atomic_store_n(&next[which], f, __ATOMIC_RELEASE);
    }
    return f(fd, request, arg);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    return Intercept("ioctl", fd, request, arg);
}

int __ioctl_time64(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    return Intercept("__ioctl_time64", fd, request, arg);
}

/* Tells a test program that it runs with modem lines on its terminals. */
int qel_modem_lines_loaded = 1;
