#include "platform/Thread.h"

#include <windows.h>

namespace platform {

namespace {
struct ThreadStart {
    void (*body)(void*);
    void* argument;
    HMODULE module;
};

DWORD WINAPI ModuleThreadMain(LPVOID parameter) {
    const ThreadStart start = *static_cast<ThreadStart*>(parameter);
    delete static_cast<ThreadStart*>(parameter);
    start.body(start.argument);
    // Releases the reference taken for this thread and ends it without
    // returning into code that may be gone by then.
    FreeLibraryAndExitThread(start.module, 0);
    return 0;
}
}  // namespace

struct ModuleThread {
    HANDLE handle;
};

ModuleThread* StartModuleThread(void (*body)(void*), void* argument) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCSTR>(&ModuleThreadMain), &module))
        return nullptr;
    auto* start = new ThreadStart{body, argument, module};
    HANDLE handle = CreateThread(nullptr, 0, &ModuleThreadMain, start, 0, nullptr);
    if (handle == nullptr) {
        delete start;
        FreeLibrary(module);
        return nullptr;
    }
    return new ModuleThread{handle};
}

bool WaitModuleThread(ModuleThread* thread, std::uint32_t timeoutMs) {
    return thread == nullptr || WaitForSingleObject(thread->handle, timeoutMs) == WAIT_OBJECT_0;
}

void ReleaseModuleThread(ModuleThread* thread) {
    if (thread == nullptr) return;
    CloseHandle(thread->handle);
    delete thread;
}

}  // namespace platform
