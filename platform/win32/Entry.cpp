// The module's library entry point on Windows: remembers where the DLL was
// loaded from, so that instrument drivers are found beside it.
#include <windows.h>

#include "diag/ModuleFolder.h"
#include "platform/Library.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    try {
        const std::string path = platform::ModuleFileName(instance);
        if (!path.empty()) diag::SetModuleFolder(diag::FolderOfModulePath(path));
    } catch (...) {
        // Never fail the load for this: "Init" then reports the driver as missing.
    }
    return TRUE;
}
