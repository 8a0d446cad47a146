#include "platform/Thread.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <time.h>

#include <cstdint>

namespace platform {

struct ModuleThread {
    pthread_t thread;
    bool joined = false;
};

namespace {
struct ThreadStart {
    void (*body)(void*);
    void* argument;
    void* module;  // the thread's own reference on the shared object it runs in
};

// Each module thread holds a reference on the shared object whose code it
// runs, as a Windows thread does through FreeLibraryAndExitThread: an unload
// while it runs leaves the code in place. It lets go only once it has left
// that code: the reference is thread-specific data whose destructor is
// dlclose itself, which the C library calls as the thread ends, from its own
// code. The key is the module's: made at the first thread, deleted when the
// module is unloaded (by then no thread of it runs, or the last is inside
// that very dlclose).
// dlclose itself is the destructor, never a function of this module's that
// calls it: the call would return into code that dlclose has just unmapped.
// (Its int result is dropped, as the C library drops a destructor's.)
void (*const kLetGo)(void*) = reinterpret_cast<void (*)(void*)>(reinterpret_cast<void (*)()>(&dlclose));

struct ModuleKey {
    pthread_key_t key{};
    bool made = false;
    ModuleKey() { made = pthread_key_create(&key, kLetGo) == 0; }
    ~ModuleKey() {
        if (made) pthread_key_delete(key);
    }
};

ModuleKey& Key() {
    static ModuleKey key;
    return key;
}

// Null where this code is not in a shared object of its own (a program).
void* ReferenceThisModule() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&ReferenceThisModule), &info) == 0 || info.dli_fname == nullptr)
        return nullptr;
    return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
}

void* ModuleThreadMain(void* parameter) {
    const ThreadStart start = *static_cast<ThreadStart*>(parameter);
    delete static_cast<ThreadStart*>(parameter);
    if (start.module != nullptr) pthread_setspecific(Key().key, start.module);
    start.body(start.argument);
    return nullptr;
}
}  // namespace

ModuleThread* StartModuleThread(void (*body)(void*), void* argument) {
    void* module = Key().made ? ReferenceThisModule() : nullptr;
    auto* thread = new ModuleThread{};
    auto* start = new ThreadStart{body, argument, module};
    if (pthread_create(&thread->thread, nullptr, &ModuleThreadMain, start) != 0) {
        if (module != nullptr) dlclose(module);
        delete start;
        delete thread;
        return nullptr;
    }
    return thread;
}

bool WaitModuleThread(ModuleThread* thread, std::uint32_t timeoutMs) {
    if (thread == nullptr || thread->joined) return true;
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += time_t(timeoutMs / 1000);
    until.tv_nsec += long(timeoutMs % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    int result;
    do result = pthread_timedjoin_np(thread->thread, nullptr, &until);
    while (result == EINTR);
    if (result != 0) return false;
    thread->joined = true;
    return true;
}

void ReleaseModuleThread(ModuleThread* thread) {
    if (thread == nullptr) return;
    // One that has not ended goes on by itself, holding the module.
    if (!thread->joined && pthread_tryjoin_np(thread->thread, nullptr) != 0) pthread_detach(thread->thread);
    delete thread;
}

}  // namespace platform
