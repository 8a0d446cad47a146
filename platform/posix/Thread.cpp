#include "platform/Thread.h"

#include <pthread.h>

namespace platform {

struct ModuleThread {
    pthread_t thread;
};

namespace {
struct ThreadStart {
    void (*body)(void*);
    void* argument;
};

void* ModuleThreadMain(void* parameter) {
    const ThreadStart start = *static_cast<ThreadStart*>(parameter);
    delete static_cast<ThreadStart*>(parameter);
    start.body(start.argument);
    return nullptr;
}
}  // namespace

ModuleThread* StartModuleThread(void (*body)(void*), void* argument) {
    auto* thread = new ModuleThread{};
    auto* start = new ThreadStart{body, argument};
    if (pthread_create(&thread->thread, nullptr, &ModuleThreadMain, start) != 0) {
        delete start;
        delete thread;
        return nullptr;
    }
    return thread;
}

bool WaitModuleThread(ModuleThread* thread, std::uint32_t) {
    // A shared object cannot keep itself loaded past a dlclose, so a thread
    // in it is never left behind: the wait lasts until it ends.
    if (thread == nullptr) return true;
    if (thread->thread != pthread_t()) pthread_join(thread->thread, nullptr);
    thread->thread = pthread_t();
    return true;
}

void ReleaseModuleThread(ModuleThread* thread) {
    if (thread == nullptr) return;
    WaitModuleThread(thread, 0);
    delete thread;
}

}  // namespace platform
