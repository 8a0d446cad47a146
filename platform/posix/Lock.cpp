#include "platform/Lock.h"

#include <condition_variable>
#include <new>

namespace platform {

namespace {
static_assert(sizeof(std::mutex) <= 64 && alignof(std::mutex) <= kLockAlignment,
              "room for the mutex");
static_assert(sizeof(std::condition_variable) <= 64 &&
                  alignof(std::condition_variable) <= kLockAlignment,
              "room for the condition variable");
std::mutex* Native(unsigned char* storage) { return std::launder(reinterpret_cast<std::mutex*>(storage)); }
std::condition_variable* Condition(unsigned char* storage) {
    return std::launder(reinterpret_cast<std::condition_variable*>(storage));
}
}  // namespace

Mutex::Mutex() { new (storage) std::mutex; }
Mutex::~Mutex() { Native(storage)->~mutex(); }
void Mutex::lock() { Native(storage)->lock(); }
bool Mutex::try_lock() { return Native(storage)->try_lock(); }
void Mutex::unlock() { Native(storage)->unlock(); }

ConditionVariable::ConditionVariable() { new (storage) std::condition_variable; }
ConditionVariable::~ConditionVariable() { Condition(storage)->~condition_variable(); }

void ConditionVariable::wait(std::unique_lock<Mutex>& lock) {
    // The standard's condition variable waits on a std::mutex: the lock is
    // handed over to one on that very mutex and back.
    std::unique_lock<std::mutex> native(*Native(lock.mutex()->storage), std::adopt_lock);
    Condition(storage)->wait(native);
    native.release();
}
void ConditionVariable::notify_one() { Condition(storage)->notify_one(); }
void ConditionVariable::notify_all() { Condition(storage)->notify_all(); }

}  // namespace platform
