// The stand-in wfapi.dll (32-bit) / wfapi64.dll (64-bit) for developers' PCs:
// the virtual-channel functions of the Citrix server API, with their
// documented signatures and results, carried over the local loop to
// kestav-host --listen, which runs the real module against the simulator or
// a real instrument. Placed beside an unmodified server-side application, it
// lets that application run without any Citrix part. Every other WFAPI
// function is there too and fails cleanly (ERROR_CALL_NOT_IMPLEMENTED), so
// that an application importing it still loads. Never installed by the
// client packages.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "server/LoopClient.h"

namespace {

// A listener between two sessions takes a moment to listen again.
constexpr std::uint32_t kConnectMs = 1000;

// The one connection of this process, shared by its open channels and
// closed with the last of them.
std::mutex connectionLock;
std::shared_ptr<loop::LoopClient> connection;

struct ChannelHandle {
    std::shared_ptr<loop::LoopClient> client;
    loop::Channel channel;
};
std::set<ChannelHandle*> handles;

// A connection's reader thread cannot be ended while the library is being
// unloaded (a thread's end waits for the loader, which waits for us): so
// while a connection lives, the library holds a reference on itself, and a
// program that unloads it with a channel still open goes on (the library
// stays until that connection is let go).
HMODULE selfReference = nullptr;

void HoldLibrary() {
    if (selfReference == nullptr &&
        !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&HoldLibrary),
                            &selfReference))
        selfReference = nullptr;
}

// The handle's channel, or null (ERROR_INVALID_HANDLE set) for anything else.
ChannelHandle* Find(HANDLE handle) {
    std::lock_guard<std::mutex> lock(connectionLock);
    auto* channel = static_cast<ChannelHandle*>(handle);
    if (handles.count(channel) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return channel;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

BOOL Result(loop::LoopClient::Status status) {
    switch (status) {
        case loop::LoopClient::Status::Done:
            return TRUE;
        case loop::LoopClient::Status::TimedOut:
            return Fail(ERROR_SEM_TIMEOUT);
        case loop::LoopClient::Status::TooLong:
            return Fail(ERROR_INVALID_PARAMETER);
        case loop::LoopClient::Status::NoChannel:
            return Fail(ERROR_FILE_NOT_FOUND);
        default:
            return Fail(ERROR_BROKEN_PIPE);  // the session (the listener) has ended
    }
}

}  // namespace

extern "C" {

// HANDLE WFVirtualChannelOpen(HANDLE hServer, DWORD SessionId, LPSTR pVirtualName):
// a handle of the channel, or NULL (GetLastError tells why: ERROR_FILE_NOT_FOUND
// no such channel or no listener, ERROR_PIPE_BUSY another program holds the
// loop).
__declspec(dllexport) HANDLE WINAPI WFVirtualChannelOpen(HANDLE, DWORD, LPSTR name) {
    if (name == nullptr) return SetLastError(ERROR_INVALID_PARAMETER), nullptr;
    std::string text(name, strnlen(name, 8));
    while (!text.empty() && text.back() == ' ') text.pop_back();  // names come padded to 7
    loop::Channel channel;
    if (!loop::ChannelOf(text, &channel)) return SetLastError(ERROR_FILE_NOT_FOUND), nullptr;
    std::lock_guard<std::mutex> lock(connectionLock);
    if (connection == nullptr || !connection->Connected()) {
        loop::LoopClient::Status status;
        std::string reason;
        connection = loop::LoopClient::Connect(loop::NameFromEnvironment(), kConnectMs, &status, &reason);
        if (connection == nullptr) {
            if (status == loop::LoopClient::Status::Busy) {
                OutputDebugStringA(("wfapi (Kestav local loop): " + reason + "\n").c_str());
                SetLastError(ERROR_PIPE_BUSY);
            } else if (status == loop::LoopClient::Status::NotOwnLoop) {
                SetLastError(ERROR_ACCESS_DENIED);  // another user's pipe of that name
            } else {
                SetLastError(ERROR_FILE_NOT_FOUND);
            }
            return nullptr;
        }
        HoldLibrary();
    }
    auto* handle = new ChannelHandle{connection, channel};
    handles.insert(handle);
    return handle;
}

__declspec(dllexport) BOOL WINAPI WFVirtualChannelClose(HANDLE handle) {
    std::shared_ptr<loop::LoopClient> last;
    HMODULE release = nullptr;
    {
        std::lock_guard<std::mutex> lock(connectionLock);
        auto* channel = static_cast<ChannelHandle*>(handle);
        if (handles.erase(channel) == 0) return Fail(ERROR_INVALID_HANDLE);
        delete channel;
        // The session ends with the last channel open on it (handles left
        // from a session that ended before keep nothing alive).
        const bool inUse = std::any_of(handles.begin(), handles.end(),
                                       [](const ChannelHandle* open) { return open->client == connection; });
        if (!inUse) {
            last.swap(connection);
            std::swap(release, selfReference);
        }
    }
    last.reset();  // outside the lock; its reader thread ends here
    // The program's own reference keeps the library loaded past this call.
    if (release != nullptr) FreeLibrary(release);
    return TRUE;
}

// BOOL WFVirtualChannelRead(HANDLE, ULONG TimeOut, PCHAR Buffer, ULONG BufferSize, PULONG pBytesRead):
// one whole packet. A packet larger than the buffer is discarded whole
// (ERROR_INSUFFICIENT_BUFFER); a read that times out fails (ERROR_SEM_TIMEOUT).
__declspec(dllexport) BOOL WINAPI WFVirtualChannelRead(HANDLE handle, ULONG timeout, PCHAR buffer,
                                                       ULONG size, PULONG read) {
    ChannelHandle* channel = Find(handle);
    if (channel == nullptr) return FALSE;
    if (read != nullptr) *read = 0;
    std::string packet;
    const loop::LoopClient::Status status = channel->client->Read(channel->channel, timeout, &packet);
    if (status != loop::LoopClient::Status::Done) return Result(status);
    if (buffer == nullptr || packet.size() > size) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, packet.data(), packet.size());
    if (read != nullptr) *read = ULONG(packet.size());
    return TRUE;
}

// BOOL WFVirtualChannelWrite(HANDLE, PCHAR Buffer, ULONG Length, PULONG pBytesWritten):
// taken whole or refused whole; longer than the engine's largest write:
// refused (ERROR_INVALID_PARAMETER).
__declspec(dllexport) BOOL WINAPI WFVirtualChannelWrite(HANDLE handle, PCHAR buffer, ULONG length,
                                                        PULONG written) {
    ChannelHandle* channel = Find(handle);
    if (channel == nullptr) return FALSE;
    if (written != nullptr) *written = 0;
    if (buffer == nullptr && length > 0) return Fail(ERROR_INVALID_PARAMETER);
    const BOOL done = Result(channel->client->Write(channel->channel, std::string(buffer, length)));
    if (done && written != nullptr) *written = length;
    return done;
}

__declspec(dllexport) BOOL WINAPI WFVirtualChannelPurgeInput(HANDLE handle) {
    ChannelHandle* channel = Find(handle);
    if (channel == nullptr) return FALSE;
    channel->client->Purge(channel->channel);
    return TRUE;
}

// Writes are taken at once: there is no output waiting to be purged.
__declspec(dllexport) BOOL WINAPI WFVirtualChannelPurgeOutput(HANDLE handle) {
    return Find(handle) != nullptr;
}

// BOOL WFVirtualChannelQuery(HANDLE, WF_VIRTUAL_CLASS, PVOID* ppBuffer, DWORD* pBytesReturned):
// class 0 (WFVirtualClientData): the module's information record, in memory
// the caller frees with WFFreeMemory.
__declspec(dllexport) BOOL WINAPI WFVirtualChannelQuery(HANDLE handle, int virtualClass, PVOID* buffer,
                                                        DWORD* returned) {
    ChannelHandle* channel = Find(handle);
    if (channel == nullptr) return FALSE;
    if (virtualClass != 0 || buffer == nullptr || returned == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    std::string data;
    const loop::LoopClient::Status status = channel->client->Query(channel->channel, &data);
    if (status != loop::LoopClient::Status::Done) return Result(status);
    void* memory = LocalAlloc(LMEM_FIXED, data.size() + 1);
    if (memory == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    std::memcpy(memory, data.data(), data.size());
    *buffer = memory;
    *returned = DWORD(data.size());
    return TRUE;
}

__declspec(dllexport) VOID WINAPI WFFreeMemory(PVOID memory) {
    if (memory != nullptr) LocalFree(memory);
}

}  // extern "C"

// The rest of the Citrix server API: present, so that an application that
// imports it loads, and failing with ERROR_CALL_NOT_IMPLEMENTED. Each takes
// the documented number of arguments (they are __stdcall: the callee removes
// them). Handles come back NULL, BOOLs FALSE.
#define KST_NOT_HERE(Type, name, ...)                                      \
    extern "C" __declspec(dllexport) Type WINAPI name(__VA_ARGS__) {       \
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);                           \
        return Type();                                                      \
    }
#define KST_NOT_HERE_VOID(name, ...)                                        \
    extern "C" __declspec(dllexport) VOID WINAPI name(__VA_ARGS__) {       \
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);                           \
    }
using P = void*;
KST_NOT_HERE(HANDLE, WFOpenServerA, P)
KST_NOT_HERE(HANDLE, WFOpenServerW, P)
KST_NOT_HERE_VOID(WFCloseServer, P)
KST_NOT_HERE(BOOL, WFEnumerateServersA, P, P, P, P, P)
KST_NOT_HERE(BOOL, WFEnumerateServersW, P, P, P, P, P)
KST_NOT_HERE(BOOL, WFEnumerateSessionsA, P, P, P, P, P)
KST_NOT_HERE(BOOL, WFEnumerateSessionsW, P, P, P, P, P)
KST_NOT_HERE(BOOL, WFEnumerateProcessesA, P, P, P, P, P)
KST_NOT_HERE(BOOL, WFEnumerateProcessesW, P, P, P, P, P)
KST_NOT_HERE(BOOL, WFEnumerateProcessesExA, P, P, P, P, P)
KST_NOT_HERE(BOOL, WFEnumerateProcessesExW, P, P, P, P, P)
KST_NOT_HERE(BOOL, WFTerminateProcess, P, P, P)
KST_NOT_HERE(BOOL, WFQuerySessionInformationA, P, P, P, P, P)
KST_NOT_HERE(BOOL, WFQuerySessionInformationW, P, P, P, P, P)
KST_NOT_HERE(BOOL, WFQueryUserConfigA, P, P, P, P, P)
KST_NOT_HERE(BOOL, WFQueryUserConfigW, P, P, P, P, P)
KST_NOT_HERE(BOOL, WFSetUserConfigA, P, P, P, P, P)
KST_NOT_HERE(BOOL, WFSetUserConfigW, P, P, P, P, P)
KST_NOT_HERE(BOOL, WFSendMessageA, P, P, P, P, P, P, P, P, P, P)
KST_NOT_HERE(BOOL, WFSendMessageW, P, P, P, P, P, P, P, P, P, P)
KST_NOT_HERE(BOOL, WFDisconnectSession, P, P, P)
KST_NOT_HERE(BOOL, WFLogoffSession, P, P, P)
KST_NOT_HERE(BOOL, WFShutdownSystem, P, P)
KST_NOT_HERE(BOOL, WFWaitSystemEvent, P, P, P)
