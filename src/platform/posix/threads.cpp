#include <limits.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "platform/posix/posix_backend.h"
#include "platform/posix/timed_wait.h"

namespace qel::platform {

struct Thread {
    pthread_t handle;
    ThreadProc proc;
    void* arg;
    pthread_mutex_t lock;
    pthread_cond_t changed;  // on CLOCK_MONOTONIC
    uint32_t tid;
    bool started;
    bool done;
    bool detached;  // released by the thread itself when it ends
};

namespace posix {
namespace {

// CreateThread takes its size as the initial commit and reserves the image's
// default (a megabyte or more) behind it; a pthread stack is all there is, and
// glibc carves static TLS out of it, so a few kilobytes is not the same thing.
constexpr size_t kMinimumStackBytes = 256 * 1024;

uint32_t CurrentTid() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

void Release(Thread* t) {
    pthread_cond_destroy(&t->changed);
    pthread_mutex_destroy(&t->lock);
    delete t;
}

void* Trampoline(void* raw) {
    auto* t = static_cast<Thread*>(raw);
    pthread_mutex_lock(&t->lock);
    t->tid = CurrentTid();
    t->started = true;
    pthread_cond_broadcast(&t->changed);
    pthread_mutex_unlock(&t->lock);
    t->proc(t->arg);
    pthread_mutex_lock(&t->lock);
    t->done = true;
    const bool detached = t->detached;
    pthread_cond_broadcast(&t->changed);
    pthread_mutex_unlock(&t->lock);
    if (detached) Release(t);
    return nullptr;
}



}  // namespace

Thread* StartThread(ThreadProc proc, void* arg, uint32_t stackBytes, uint32_t* id) {
    auto* t = new (std::nothrow) Thread{};
    if (t == nullptr) return nullptr;
    t->proc = proc;
    t->arg = arg;
    pthread_mutex_init(&t->lock, nullptr);
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(&t->changed, &ca);
    pthread_condattr_destroy(&ca);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    const size_t floor = std::max<size_t>(static_cast<size_t>(PTHREAD_STACK_MIN), kMinimumStackBytes);
    pthread_attr_setstacksize(&attr, std::max<size_t>(stackBytes, floor));
    const int rc = pthread_create(&t->handle, &attr, Trampoline, t);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        Release(t);
        return nullptr;
    }
    // The identifier is the kernel's id of the new thread, known once it runs.
    pthread_mutex_lock(&t->lock);
    while (!t->started) pthread_cond_wait(&t->changed, &t->lock);
    if (id != nullptr) *id = t->tid;
    pthread_mutex_unlock(&t->lock);
    return t;
}

bool JoinThread(Thread* t, uint32_t timeoutMs) {
    if (t == nullptr) return false;
    const bool done = WaitForFlag(&t->lock, &t->changed, t->done, timeoutMs);
    if (!done) return false;
    pthread_join(t->handle, nullptr);
    Release(t);
    return true;
}

void DetachThread(Thread* t) {
    if (t == nullptr) return;
    pthread_mutex_lock(&t->lock);
    const bool done = t->done;
    const pthread_t handle = t->handle;  // t may be gone once the lock is let go
    t->detached = !done;
    pthread_mutex_unlock(&t->lock);
    if (done) {
        pthread_join(handle, nullptr);
        Release(t);
    } else {
        pthread_detach(handle);
    }
}

bool ThreadEnded(Thread* t) {
    if (t == nullptr) return false;
    pthread_mutex_lock(&t->lock);
    const bool done = t->done;
    pthread_mutex_unlock(&t->lock);
    return done;
}

bool SetThreadPriority(Priority priority) {
    // A nice value, not a real-time class: a busy-polling real-time thread
    // could starve the whole machine.
    const int nice = priority == Priority::kTimeCritical ? -20 : 0;
    return setpriority(PRIO_PROCESS, static_cast<id_t>(CurrentTid()), nice) == 0;
}

}  // namespace posix
}  // namespace qel::platform
