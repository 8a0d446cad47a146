#include "platform/ModuleLink.h"

#include <memory>

#include "platform/win32/Handles.h"

namespace platform {

namespace {
LONG WINAPI EndOnCrash(EXCEPTION_POINTERS* exception) {
    TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}
}  // namespace

void EndQuietlyOnCrash() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(&EndOnCrash);
}

struct ModuleLink {
    Handle pipe;
};

ModuleLink* ConnectToModule(const std::string& pipeName) {
    auto link = std::make_unique<ModuleLink>();
    link->pipe.Reset(CreateFileA(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                 nullptr));
    if (link->pipe.value == nullptr) return nullptr;
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(link->pipe.value, &mode, nullptr, nullptr)) return nullptr;
    return link.release();
}

bool LinkSend(ModuleLink* link, const std::vector<std::uint8_t>& message) {
    DWORD written = 0;
    return WriteFile(link->pipe.value, message.data(), DWORD(message.size()), &written, nullptr) &&
           written == message.size();
}

bool LinkReceive(ModuleLink* link, std::vector<std::uint8_t>* message) {
    message->assign(64 * 1024 + 64, 0);  // a set-up message with the longest path fits
    DWORD read = 0;
    if (!ReadFile(link->pipe.value, message->data(), DWORD(message->size()), &read, nullptr))
        return false;
    message->resize(read);
    return true;
}

std::uint8_t* MapSharedSection(std::uint64_t section, std::size_t size) {
    return static_cast<std::uint8_t*>(MapViewOfFile(
        reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(section)), FILE_MAP_ALL_ACCESS, 0, 0,
        size));
}

bool WaitForSignal(std::uint64_t event) {
    return WaitForSingleObject(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(event)),
                               INFINITE) == WAIT_OBJECT_0;
}

void Signal(std::uint64_t event) {
    SetEvent(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(event)));
}

}  // namespace platform
