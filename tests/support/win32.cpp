// Windows side of the test helpers.
#include <windows.h>
#include <psapi.h>

#include "tests/support/TestSupport.h"

namespace testing_support {

const char* const kLineEnd = "\r\n";
const char* const kNullDevice = "NUL";
const bool kExceptionsCrossLibraries = false;

bool ProcessIsRunning(std::uint32_t pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) return false;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

unsigned AnsiCodePage() { return GetACP(); }

std::size_t PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof counters))
        return 0;
    return counters.PrivateUsage;
}

bool MachineKeyExists(platform::View view, const std::string& key) {
    HKEY open = nullptr;
    const REGSAM flag = view == platform::View::Bits64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | flag, &open) != ERROR_SUCCESS)
        return false;
    RegCloseKey(open);
    return true;
}

bool IsLibraryLoaded(const std::string& path) {
    std::string native = path;
    for (char& c : native)
        if (c == '/') c = '\\';
    return GetModuleHandleA(native.c_str()) != nullptr;
}

ExclusiveHold::ExclusiveHold(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    handle_ = file == INVALID_HANDLE_VALUE ? nullptr : file;
}

ExclusiveHold::~ExclusiveHold() { Release(); }

void ExclusiveHold::Release() {
    if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
    handle_ = nullptr;
}

bool MakeReadOnly(const std::string& path) {
    return SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY) != 0;
}

void MakeWritable(const std::string& path) {
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace testing_support
