#include "platform/HostProcess.h"

#include <cstdio>
#include <memory>

#include "platform/win32/Handles.h"
#include "platform/win32/Wide.h"

namespace platform {

const bool kDriverHostAvailable = true;
const bool kOtherX86DriverHost = true;

namespace {

// Waits for an overlapped pipe operation, the host's end, or the timeout.
HostWait WaitOverlapped(HANDLE pipe, OVERLAPPED* overlapped, HANDLE process, DWORD timeoutMs) {
    HANDLE waits[2] = {overlapped->hEvent, process};
    const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
    if (woken == WAIT_OBJECT_0) return HostWait::Done;
    CancelIo(pipe);
    DWORD ignored = 0;
    GetOverlappedResult(pipe, overlapped, &ignored, TRUE);  // the operation is over before we go
    return woken == WAIT_OBJECT_0 + 1 ? HostWait::Exited : HostWait::TimedOut;
}

}  // namespace

struct HostProcess {
    Handle job, process, pipe, section, requestEvent, answerEvent, ioEvent;
    std::uint8_t* view = nullptr;
    DWORD id = 0;
    ~HostProcess() {
        if (view != nullptr) UnmapViewOfFile(view);
    }
};

HostProcess* StartHostProcess(const std::string& program, const std::string&, std::size_t sectionSize,
                              std::uint32_t timeoutMs, HostHandles* handles, std::uint32_t* error) {
    auto host = std::make_unique<HostProcess>();
    auto fail = [&]() -> HostProcess* {
        *error = GetLastError();
        if (*error == 0) *error = ERROR_GEN_FAILURE;
        if (host->process.value != nullptr) TerminateProcess(host->process.value, 1);
        return nullptr;
    };

    // A pipe nobody else can guess, open or reach from another machine.
    std::string name;
    if (!RandomName("\\\\.\\pipe\\KestavDriverHost-", &name)) return fail();
    OwnerOnly security;
    if (!security.Build()) return fail();
    host->pipe.Reset(CreateNamedPipeA(
        name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
        64 * 1024, 64 * 1024, 0, security.Attributes()));
    if (host->pipe.value == nullptr) return fail();

    // Shared memory and its two events: unnamed, so no other process can open
    // them; the host gets its own handles below.
    host->section.Reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                           DWORD(sectionSize), nullptr));
    host->requestEvent.Reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    host->answerEvent.Reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    host->ioEvent.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!host->section.value || !host->requestEvent.value || !host->answerEvent.value ||
        !host->ioEvent.value)
        return fail();
    host->view = static_cast<std::uint8_t*>(
        MapViewOfFile(host->section.value, FILE_MAP_ALL_ACCESS, 0, 0, sectionSize));
    if (host->view == nullptr) return fail();

    // The host lives in a job that ends it when the last handle to the job
    // closes: with this module, or with the client process however it ends.
    host->job.Reset(CreateJobObjectA(nullptr, nullptr));
    if (host->job.value == nullptr) return fail();
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(host->job.value, JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits))
        return fail();

    const std::wstring path = Widen(program);
    std::wstring commandLine = L"\"" + path + L"\" " + Widen(name);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                        CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info))
        return fail();
    host->process.Reset(info.hProcess);
    host->id = info.dwProcessId;
    Handle thread(info.hThread);
    if (!AssignProcessToJobObject(host->job.value, host->process.value)) return fail();
    ResumeThread(thread.value);

    OVERLAPPED overlapped{};
    overlapped.hEvent = host->ioEvent.value;
    ResetEvent(overlapped.hEvent);
    if (!ConnectNamedPipe(host->pipe.value, &overlapped)) {
        const DWORD pending = GetLastError();
        if (pending == ERROR_IO_PENDING) {
            const HostWait waited =
                WaitOverlapped(host->pipe.value, &overlapped, host->process.value, timeoutMs);
            if (waited != HostWait::Done) {
                SetLastError(waited == HostWait::Exited ? ERROR_PROCESS_ABORTED : ERROR_TIMEOUT);
                return fail();
            }
        } else if (pending != ERROR_PIPE_CONNECTED) {
            return fail();
        }
    }

    // The section and the events, handed into the host's handle table.
    HANDLE* const sources[] = {&host->section.value, &host->requestEvent.value,
                               &host->answerEvent.value};
    std::uint64_t* const targets[] = {&handles->section, &handles->requestEvent,
                                      &handles->answerEvent};
    for (int i = 0; i < 3; ++i) {
        HANDLE inHost = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), *sources[i], host->process.value, &inHost, 0,
                             FALSE, DUPLICATE_SAME_ACCESS))
            return fail();
        *targets[i] = reinterpret_cast<std::uintptr_t>(inHost);
    }
    *error = 0;
    return host.release();
}

std::uint32_t HostProcessId(const HostProcess* host) { return host->id; }

std::uint8_t* HostSection(HostProcess* host) { return host->view; }

bool HostSend(HostProcess* host, const std::vector<std::uint8_t>& message) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = host->ioEvent.value;
    ResetEvent(overlapped.hEvent);
    DWORD written = 0;
    if (!WriteFile(host->pipe.value, message.data(), DWORD(message.size()), &written, &overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) return false;
        if (WaitOverlapped(host->pipe.value, &overlapped, host->process.value, 10000) !=
            HostWait::Done)
            return false;
    }
    return GetOverlappedResult(host->pipe.value, &overlapped, &written, FALSE) &&
           written == message.size();
}

HostWait HostReceive(HostProcess* host, std::vector<std::uint8_t>* message,
                     std::uint32_t timeoutMs) {
    message->assign(4096, 0);
    OVERLAPPED overlapped{};
    overlapped.hEvent = host->ioEvent.value;
    ResetEvent(overlapped.hEvent);
    DWORD read = 0;
    if (!ReadFile(host->pipe.value, message->data(), DWORD(message->size()), &read, &overlapped)) {
        const DWORD status = GetLastError();
        if (status == ERROR_BROKEN_PIPE) return HostWait::Exited;
        if (status != ERROR_IO_PENDING) return HostWait::Exited;
        const HostWait waited =
            WaitOverlapped(host->pipe.value, &overlapped, host->process.value, timeoutMs);
        if (waited != HostWait::Done) return waited;
    }
    if (!GetOverlappedResult(host->pipe.value, &overlapped, &read, FALSE)) {
        message->clear();
        return GetLastError() == ERROR_MORE_DATA ? HostWait::Done : HostWait::Exited;
    }
    message->resize(read);
    return HostWait::Done;
}

void HostSignalRequest(HostProcess* host) { SetEvent(host->requestEvent.value); }

HostWait HostAwaitAnswer(HostProcess* host, std::uint32_t timeoutMs) {
    HANDLE waits[2] = {host->answerEvent.value, host->process.value};
    const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
    if (woken == WAIT_OBJECT_0) return HostWait::Done;
    return woken == WAIT_OBJECT_0 + 1 ? HostWait::Exited : HostWait::TimedOut;
}

std::uint32_t HostExitCode(const HostProcess* host) {
    DWORD code = 0;
    GetExitCodeProcess(host->process.value, &code);
    return code;
}

std::string ExitCodeText(std::uint32_t code) {
    // In hex, as Windows' exception codes are known: 0xC0000005.
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", unsigned(code));
    return text;
}

void AbortHostProcess(HostProcess* host) {
    TerminateProcess(host->process.value, 1);
}

std::uint32_t EndHostProcess(HostProcess* host, std::uint32_t graceMs) {
    if (host == nullptr) return 0;
    if (WaitForSingleObject(host->process.value, graceMs) != WAIT_OBJECT_0) {
        TerminateProcess(host->process.value, 1);
        WaitForSingleObject(host->process.value, 5000);
    }
    const std::uint32_t code = HostExitCode(host);
    delete host;  // closing the job ends whatever might be left
    return code;
}

}  // namespace platform
