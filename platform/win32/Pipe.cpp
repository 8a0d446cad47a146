#include "platform/Pipe.h"

#include <aclapi.h>

#include <memory>

#include "platform/win32/Handles.h"

namespace platform {

const bool kPipesAvailable = true;


namespace {
constexpr DWORD kBufferSize = 64 * 1024;

std::string FullName(const std::string& name) {
    return "\\\\.\\pipe\\" + name;
}
}  // namespace

struct Pipe {
    Handle handle;
    Handle readEvent, writeEvent, connectEvent, interrupt;
    OVERLAPPED read{};
    bool reading = false;       // a read is pending
    OVERLAPPED connect{};
    bool connecting = false;    // a client is being waited for
    std::vector<std::uint8_t> buffer;
    std::vector<std::uint8_t> partial;  // a message longer than the buffer, so far
    bool server = false;

    bool MakeEvents() {
        readEvent.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        writeEvent.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        connectEvent.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        interrupt.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        buffer.resize(kBufferSize);
        return readEvent.value && writeEvent.value && connectEvent.value && interrupt.value;
    }
    // Ends a pending read before the buffer or the handle go.
    void CancelRead() {
        if (!reading && !connecting) return;
        CancelIo(handle.value);
        DWORD ignored = 0;
        if (reading) GetOverlappedResult(handle.value, &read, &ignored, TRUE);
        if (connecting) GetOverlappedResult(handle.value, &connect, &ignored, TRUE);
        reading = connecting = false;
    }
    ~Pipe() { CancelRead(); }
};

Pipe* CreatePipeInstance(const std::string& name, bool first, std::uint32_t* error) {
    auto pipe = std::make_unique<Pipe>();
    OwnerOnly security;
    if (!pipe->MakeEvents() || !security.Build()) {
        *error = GetLastError();
        return nullptr;
    }
    pipe->handle.Reset(CreateNamedPipeA(
        FullName(name).c_str(),
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, kBufferSize, kBufferSize, 0, security.Attributes()));
    if (pipe->handle.value == nullptr) {
        *error = GetLastError();
        return nullptr;
    }
    pipe->server = true;
    return pipe.release();
}

PipeWait AcceptPipeClient(Pipe* pipe, std::uint32_t timeoutMs) {
    if (!pipe->connecting) {
        pipe->connect = OVERLAPPED{};
        pipe->connect.hEvent = pipe->connectEvent.value;
        ResetEvent(pipe->connect.hEvent);
        if (ConnectNamedPipe(pipe->handle.value, &pipe->connect)) return PipeWait::Done;
        const DWORD status = GetLastError();
        if (status == ERROR_PIPE_CONNECTED) return PipeWait::Done;
        if (status == ERROR_NO_DATA) {  // a client came and went already
            DisconnectNamedPipe(pipe->handle.value);
            return PipeWait::TimedOut;
        }
        if (status != ERROR_IO_PENDING) return PipeWait::Closed;
        pipe->connecting = true;
    }
    // On a time-out the wait stays pending for the next call.
    if (WaitForSingleObject(pipe->connect.hEvent, timeoutMs) != WAIT_OBJECT_0) return PipeWait::TimedOut;
    pipe->connecting = false;
    DWORD ignored = 0;
    return GetOverlappedResult(pipe->handle.value, &pipe->connect, &ignored, FALSE) ? PipeWait::Done
                                                                                    : PipeWait::TimedOut;
}

void DisconnectPipeClient(Pipe* pipe) {
    pipe->CancelRead();
    pipe->partial.clear();
    FlushFileBuffers(pipe->handle.value);
    DisconnectNamedPipe(pipe->handle.value);
}

Pipe* ConnectPipe(const std::string& name, std::uint32_t timeoutMs, std::uint32_t* error) {
    auto pipe = std::make_unique<Pipe>();
    if (!pipe->MakeEvents()) {
        *error = GetLastError();
        return nullptr;
    }
    const std::string full = FullName(name);
    const DWORD start = GetTickCount();
    for (;;) {
        pipe->handle.Reset(CreateFileA(full.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING,
                                       FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                       nullptr));
        if (pipe->handle.value != nullptr) break;
        // Busy, or between two clients: tried again until the time is up.
        const DWORD status = GetLastError();
        if ((status != ERROR_PIPE_BUSY && status != ERROR_FILE_NOT_FOUND) ||
            GetTickCount() - start >= timeoutMs) {
            *error = status;
            return nullptr;
        }
        if (status == ERROR_PIPE_BUSY) WaitNamedPipeA(full.c_str(), 50);
        else Sleep(20);
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe->handle.value, &mode, nullptr, nullptr)) {
        *error = GetLastError();
        return nullptr;
    }
    return pipe.release();
}

bool PipeSend(Pipe* pipe, const std::vector<std::uint8_t>& message) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = pipe->writeEvent.value;
    ResetEvent(overlapped.hEvent);
    DWORD written = 0;
    if (!WriteFile(pipe->handle.value, message.data(), DWORD(message.size()), &written, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING)
        return false;
    return GetOverlappedResult(pipe->handle.value, &overlapped, &written, TRUE) &&
           written == message.size();
}

PipeWait PipeReceive(Pipe* pipe, std::vector<std::uint8_t>* message, std::uint32_t timeoutMs,
                     std::size_t maximumSize) {
    for (;;) {
        if (!pipe->reading) {
            pipe->read = OVERLAPPED{};
            pipe->read.hEvent = pipe->readEvent.value;
            ResetEvent(pipe->read.hEvent);
            DWORD got = 0;
            if (!ReadFile(pipe->handle.value, pipe->buffer.data(), DWORD(pipe->buffer.size()), &got,
                          &pipe->read)) {
                const DWORD status = GetLastError();
                if (status != ERROR_IO_PENDING && status != ERROR_MORE_DATA) return PipeWait::Closed;
            }
            pipe->reading = true;
        }
        HANDLE waits[2] = {pipe->readEvent.value, pipe->interrupt.value};
        const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
        if (woken == WAIT_OBJECT_0 + 1) return PipeWait::Closed;
        if (woken != WAIT_OBJECT_0) return PipeWait::TimedOut;  // the read stays pending
        DWORD got = 0;
        const BOOL done = GetOverlappedResult(pipe->handle.value, &pipe->read, &got, FALSE);
        pipe->reading = false;
        const DWORD status = done ? ERROR_SUCCESS : GetLastError();
        if (!done && status != ERROR_MORE_DATA) return PipeWait::Closed;
        if (status == ERROR_MORE_DATA) {
            // The rest of the message is told before it is read.
            DWORD left = 0;
            if (!PeekNamedPipe(pipe->handle.value, nullptr, 0, nullptr, nullptr, &left)) return PipeWait::Closed;
            if (pipe->partial.size() + got + left > maximumSize) {
                pipe->partial.clear();
                return PipeWait::TooLarge;
            }
        } else if (pipe->partial.size() + got > maximumSize) {
            pipe->partial.clear();
            return PipeWait::TooLarge;
        }
        pipe->partial.insert(pipe->partial.end(), pipe->buffer.begin(), pipe->buffer.begin() + got);
        if (status == ERROR_MORE_DATA) continue;  // the rest of this message follows at once
        message->swap(pipe->partial);
        pipe->partial.clear();
        return PipeWait::Done;
    }
}

bool PipeServerIsCurrentUser(Pipe* pipe) {
    const std::vector<std::uint8_t> user = CurrentUserSid();
    if (user.empty()) return false;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(pipe->handle.value, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    const bool owned = owner != nullptr && EqualSid(owner, PSID(user.data()));
    LocalFree(descriptor);
    if (!owned) return false;
    // The process at the other end, where the system tells it.
    ULONG pid = 0;
    if (!GetNamedPipeServerProcessId(pipe->handle.value, &pid)) return true;
    Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (process.value == nullptr) return false;
    return ProcessUserSid(process.value) == user;
}

void InterruptPipe(Pipe* pipe) {
    SetEvent(pipe->interrupt.value);
}

void ClosePipe(Pipe* pipe) {
    delete pipe;
}

}  // namespace platform
