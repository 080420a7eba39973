// Named events and mutexes as Win32 gives them, within this process: a create
// call with a known name hands back that object, and the object lives until
// its last handle is closed.
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include "platform/posix/posix_backend.h"
#include "platform/posix/timed_wait.h"

// Valgrind 3.19's helgrind does not see pthread_mutex_clocklock take a lock:
// the mutex's ordering is told to it instead, so that it checks what the line
// lock guards. Outside valgrind these are a few no-op instructions.
#if __has_include(<valgrind/helgrind.h>)
#include <valgrind/helgrind.h>
#define QEL_LOCK_RELEASED(address) ANNOTATE_HAPPENS_BEFORE(address)
#define QEL_LOCK_TAKEN(address) ANNOTATE_HAPPENS_AFTER(address)
#else
#define QEL_LOCK_RELEASED(address)
#define QEL_LOCK_TAKEN(address)
#endif

namespace qel::platform {

enum class ObjectKind : uint8_t { kEvent, kMutex };

struct NamedObject {
    ObjectKind kind;
    std::string name;  // empty: not in the registry
    uint32_t handles = 1;
};

struct Event : NamedObject {
    pthread_mutex_t lock;
    pthread_cond_t changed;  // on CLOCK_MONOTONIC
    bool signalled = false;
};

struct Mutex : NamedObject {
    pthread_mutex_t lock;              // recursive and robust: an ended owner leaves it abandoned
    std::atomic<uint32_t> owner{0};    // kernel thread id, 0: free
    uint32_t depth = 0;                // recursion count, touched only by the owner
};

namespace posix {
namespace {

std::mutex g_registryLock;
std::map<std::string, NamedObject*>& registry() {
    static auto* objects = new std::map<std::string, NamedObject*>;  // never destroyed: threads may outlive statics
    return *objects;
}

uint32_t CurrentTid() { return static_cast<uint32_t>(syscall(SYS_gettid)); }


Event* NewEvent() {
    auto* e = new (std::nothrow) Event{};
    if (e == nullptr) return nullptr;
    e->kind = ObjectKind::kEvent;
    pthread_mutex_init(&e->lock, nullptr);
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(&e->changed, &ca);
    pthread_condattr_destroy(&ca);
    return e;
}

void DestroyEvent(Event* e) {
    pthread_cond_destroy(&e->changed);
    pthread_mutex_destroy(&e->lock);
    delete e;
}

Mutex* NewMutex() {
    auto* m = new (std::nothrow) Mutex{};
    if (m == nullptr) return nullptr;
    m->kind = ObjectKind::kMutex;
    pthread_mutexattr_t ma;
    pthread_mutexattr_init(&ma);
    pthread_mutexattr_settype(&ma, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setrobust(&ma, PTHREAD_MUTEX_ROBUST);
    const int rc = pthread_mutex_init(&m->lock, &ma);
    pthread_mutexattr_destroy(&ma);
    if (rc != 0) {
        delete m;
        return nullptr;
    }
    return m;
}

// Frees the mutex unless a living thread other than the caller holds it: its
// robust list still points here, so the memory must stay (as the kernel keeps
// an owned Win32 mutex).
void DestroyMutex(Mutex* m) {
    const uint32_t self = CurrentTid();
    if (m->owner.load() == self) {
        const uint32_t depth = m->depth;
        m->owner.store(0);
        m->depth = 0;
        for (uint32_t i = 0; i < depth; ++i) pthread_mutex_unlock(&m->lock);
    }
    const int rc = pthread_mutex_trylock(&m->lock);
    if (rc == EOWNERDEAD) pthread_mutex_consistent(&m->lock);
    if (rc != 0 && rc != EOWNERDEAD) return;
    pthread_mutex_unlock(&m->lock);
    pthread_mutex_destroy(&m->lock);
    delete m;
}

// A create call: the named object of this kind if there is one, else a new one.
template <typename T, typename Make>
T* CreateNamed(const char* name, ObjectKind kind, Make make) {
    if (name == nullptr || name[0] == '\0') return make();
    std::lock_guard<std::mutex> guard(g_registryLock);
    auto found = registry().find(name);
    if (found != registry().end()) {
        if (found->second->kind != kind) return nullptr;  // one name space for all kinds, as on Win32
        ++found->second->handles;
        return static_cast<T*>(found->second);
    }
    T* made = make();
    if (made == nullptr) return nullptr;
    made->name = name;
    registry()[made->name] = made;
    return made;
}

// Drops one handle; true when that was the last one.
bool DropHandle(NamedObject* object) {
    std::lock_guard<std::mutex> guard(g_registryLock);
    if (--object->handles > 0) return false;
    if (!object->name.empty()) registry().erase(object->name);
    return true;
}

}  // namespace

Event* CreateNamedEvent(const char* name) { return CreateNamed<Event>(name, ObjectKind::kEvent, NewEvent); }

bool SignalEvent(Event* e) {
    if (e == nullptr) return false;
    pthread_mutex_lock(&e->lock);
    e->signalled = true;
    pthread_cond_broadcast(&e->changed);
    pthread_mutex_unlock(&e->lock);
    return true;
}

WaitResult WaitForEvent(Event* e, uint32_t timeoutMs) {
    if (e == nullptr) return WaitResult::kFailed;
    const bool signalled = WaitForFlag(&e->lock, &e->changed, e->signalled, timeoutMs);
    return signalled ? WaitResult::kSignalled : WaitResult::kTimedOut;
}

bool CloseNamedEvent(Event* e) {
    if (e == nullptr) return false;
    if (DropHandle(e)) DestroyEvent(e);
    return true;
}

Mutex* CreateNamedMutex(const char* name) { return CreateNamed<Mutex>(name, ObjectKind::kMutex, NewMutex); }

WaitResult LockNamedMutex(Mutex* m, uint32_t timeoutMs) {
    if (m == nullptr) return WaitResult::kFailed;
    int rc;
    if (timeoutMs == kInfinite) {
        rc = pthread_mutex_lock(&m->lock);
    } else if (timeoutMs == 0) {
        rc = pthread_mutex_trylock(&m->lock);
    } else {
        const timespec deadline = DeadlineAfter(timeoutMs);
        rc = pthread_mutex_clocklock(&m->lock, CLOCK_MONOTONIC, &deadline);
    }
    if (rc == EBUSY || rc == ETIMEDOUT) return WaitResult::kTimedOut;
    if (rc != 0 && rc != EOWNERDEAD) return WaitResult::kFailed;
    QEL_LOCK_TAKEN(&m->lock);
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(&m->lock);
        m->depth = 0;  // the ended owner's count went with it
    }
    m->owner.store(CurrentTid());
    ++m->depth;
    return rc == EOWNERDEAD ? WaitResult::kAbandoned : WaitResult::kSignalled;
}

bool UnlockNamedMutex(Mutex* m) {
    if (m == nullptr || m->owner.load() != CurrentTid()) return false;
    if (--m->depth == 0) m->owner.store(0);
    QEL_LOCK_RELEASED(&m->lock);
    return pthread_mutex_unlock(&m->lock) == 0;
}

bool CloseNamedMutex(Mutex* m) {
    if (m == nullptr) return false;
    if (DropHandle(m)) DestroyMutex(m);
    return true;
}

}  // namespace posix
}  // namespace qel::platform
