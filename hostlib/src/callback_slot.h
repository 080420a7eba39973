// One callback and its context, called without the table's locks held.
// Replacing it waits for calls in progress on other threads, so a caller may
// free the old context once set() returns (not when set() runs inside a
// callback, which would wait on itself).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace huxtor {

// Depth of callbacks running on this thread, across all slots.
inline thread_local int tl_callbackDepth = 0;

template <typename Callback>
class CallbackSlot {
public:
    void set(Callback callback, void* context) {
        std::unique_lock lock(mutex_);
        if (tl_callbackDepth == 0) idle_.wait(lock, [this] { return running_ == 0; });
        callback_ = callback;
        context_ = context;
    }

    template <typename... Args>
    void invoke(Args... args) {
        Callback callback;
        void* context;
        {
            std::lock_guard lock(mutex_);
            callback = callback_;
            context = context_;
            if (callback == nullptr) return;
            ++running_;
        }
        ++tl_callbackDepth;
        callback(context, args...);
        --tl_callbackDepth;
        std::lock_guard lock(mutex_);
        if (--running_ == 0) idle_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable idle_;
    Callback callback_ = nullptr;
    void* context_ = nullptr;
    uint32_t running_ = 0;
};

}  // namespace huxtor
