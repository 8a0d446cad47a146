#include "platform/Lock.h"

#include <windows.h>

#include <new>

namespace platform {

namespace {
static_assert(sizeof(SRWLOCK) <= 64 && sizeof(CONDITION_VARIABLE) <= 64 && alignof(SRWLOCK) <= kLockAlignment &&
                  alignof(CONDITION_VARIABLE) <= kLockAlignment,
              "room for the system's records");
SRWLOCK* Srw(unsigned char* storage) { return reinterpret_cast<SRWLOCK*>(storage); }
CONDITION_VARIABLE* Condition(unsigned char* storage) {
    return reinterpret_cast<CONDITION_VARIABLE*>(storage);
}
}  // namespace

Mutex::Mutex() { InitializeSRWLock(new (storage) SRWLOCK); }
Mutex::~Mutex() = default;
void Mutex::lock() { AcquireSRWLockExclusive(Srw(storage)); }
bool Mutex::try_lock() { return TryAcquireSRWLockExclusive(Srw(storage)) != 0; }
void Mutex::unlock() { ReleaseSRWLockExclusive(Srw(storage)); }

ConditionVariable::ConditionVariable() { InitializeConditionVariable(new (storage) CONDITION_VARIABLE); }
ConditionVariable::~ConditionVariable() = default;

void ConditionVariable::wait(std::unique_lock<Mutex>& lock) {
    SleepConditionVariableSRW(Condition(storage), Srw(lock.mutex()->storage), INFINITE, 0);
}
void ConditionVariable::notify_one() { WakeConditionVariable(Condition(storage)); }
void ConditionVariable::notify_all() { WakeAllConditionVariable(Condition(storage)); }

}  // namespace platform
