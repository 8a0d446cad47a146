// A lock and a condition variable for the threads that meet inside the
// module: the client's thread, the instrument thread, the transport's
// callbacks. On Windows they are the system's slim lock and condition
// variable, which wait without a kernel object; the C++ library's own, on
// mingw-w64, wait on events and semaphores, and under Wine every one of
// those waits and wake-ups is a round trip to the server.
// Both meet the standard's requirements for std::lock_guard and
// std::unique_lock.
#pragma once

#include <cstddef>
#include <mutex>

namespace platform {

// The records' alignment. Never std::max_align_t: on mingw-w64 it is 8 or 16
// depending on which system header came first, so two files of one module
// would lay out every class that holds a lock differently.
constexpr std::size_t kLockAlignment = 8;

class Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock();
    bool try_lock();
    void unlock();

private:
    friend class ConditionVariable;
    alignas(kLockAlignment) unsigned char storage[64];
};

class ConditionVariable {
public:
    ConditionVariable();
    ~ConditionVariable();
    ConditionVariable(const ConditionVariable&) = delete;
    ConditionVariable& operator=(const ConditionVariable&) = delete;

    // `lock` holds its mutex on entry and on return; a wake-up may be
    // spurious.
    void wait(std::unique_lock<Mutex>& lock);
    template <typename Predicate>
    void wait(std::unique_lock<Mutex>& lock, Predicate ready) {
        while (!ready()) wait(lock);
    }
    void notify_one();
    void notify_all();

private:
    alignas(kLockAlignment) unsigned char storage[64];
};

}  // namespace platform
