// Windows implementation of the OS layer.
#include "platform/Platform.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstring>
#include <memory>
#include <vector>

#ifndef PIPE_REJECT_REMOTE_CLIENTS
#define PIPE_REJECT_REMOTE_CLIENTS 0x00000008
#endif

// RtlGenRandom, exported by advapi32 under this name.
extern "C" BOOLEAN NTAPI SystemFunction036(PVOID buffer, ULONG length);

namespace platform {

std::uint32_t TempFolder(char* buffer, std::uint32_t size) {
    return GetTempPathA(size, buffer);
}

LocalTime NowLocal() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

FileHandle OpenSharedAppend(const char* path, bool truncate) {
    // Deny-none sharing, as the C runtime's _SH_DENYNO gives; appending
    // through FILE_APPEND_DATA puts every write at the end of the file, even
    // when another handle has written there meanwhile.
    HANDLE file = CreateFileA(path, truncate ? GENERIC_WRITE : FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              truncate ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    return file == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(file);
}

bool WriteBytes(FileHandle file, const char* bytes, std::size_t size) {
    DWORD written = 0;
    return ::WriteFile(reinterpret_cast<HANDLE>(file), bytes, static_cast<DWORD>(size), &written,
                       nullptr) &&
           written == size;
}

void CloseFile(FileHandle file) {
    CloseHandle(reinterpret_cast<HANDLE>(file));
}

const char* LineEnd() {
    return "\r\n";
}

LibraryHandle OpenLibrary(const std::string& path) {
    return LoadLibraryA(path.c_str());
}

void* FindSymbol(LibraryHandle library, const char* name) {
    // FARPROC and object pointers have the same size on Windows; going through
    // an integer keeps the cast in one place and silences -Wcast-function-type.
    return reinterpret_cast<void*>(
        reinterpret_cast<INT_PTR>(GetProcAddress(static_cast<HMODULE>(library), name)));
}

void CloseLibrary(LibraryHandle library) {
    FreeLibrary(static_cast<HMODULE>(library));
}

void SetLibrarySearchFolder(const std::string& folder) {
    SetDllDirectoryA(folder.c_str());
}

std::uint32_t LastLibraryError() {
    return GetLastError();
}

std::string ModuleFileName(const void* address) {
    // An instance handle is the module's base address, so this also finds the
    // module from the handle DllMain receives.
    HMODULE handle = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCSTR>(address), &handle))
        return std::string();
    // 1024 bytes fit nearly every install; a deeper folder gets a second try
    // with the longest path Windows can report.
    for (DWORD size : {DWORD(1024), DWORD(32768)}) {
        std::vector<char> buffer(size);
        const DWORD written = GetModuleFileNameA(handle, buffer.data(), size);
        if (written == 0) return std::string();
        if (written < size) return std::string(buffer.data(), written);
    }
    return std::string();
}

void SetEnvironment(const std::string& name, const std::string& value) {
    SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str());
}

void UseBinaryStandardStreams() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
}

std::string NativePath(const std::string& path) {
    return path;
}

bool ReadFileStart(const std::string& path, std::size_t size, std::string* bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bytes->assign(size, '\0');
    DWORD read = 0;
    const BOOL ok = ::ReadFile(file, &(*bytes)[0], static_cast<DWORD>(size), &read, nullptr);
    CloseHandle(file);
    bytes->resize(ok ? read : 0);
    return ok != FALSE;
}

bool ReadAdminSetting(const char* name, std::uint32_t* value) {
    DWORD data = 0, size = sizeof data;
    // The view of this module's bitness: no KEY_WOW64_* flag.
    if (RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestav\\ClientDriver", name, RRF_RT_REG_DWORD,
                     nullptr, &data, &size) != ERROR_SUCCESS)
        return false;
    *value = data;
    return true;
}

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

bool JoinModuleThread(ModuleThread* thread, std::uint32_t timeoutMs) {
    if (thread == nullptr) return true;
    const bool ended = WaitForSingleObject(thread->handle, timeoutMs) == WAIT_OBJECT_0;
    CloseHandle(thread->handle);
    delete thread;
    return ended;
}

namespace {
REGSAM ViewFlag(int view) {
    return view == 64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
}
}  // namespace

bool ReadMachineString(int view, const std::string& key, const char* name, std::string* value) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | ViewFlag(view),
                      &handle) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, size = 0;
    LONG status = RegQueryValueExA(handle, name, nullptr, &type, nullptr, &size);
    std::string text(size, '\0');
    if (status == ERROR_SUCCESS && size > 0)
        status = RegQueryValueExA(handle, name, nullptr, &type,
                                  reinterpret_cast<BYTE*>(&text[0]), &size);
    RegCloseKey(handle);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
    text.resize(size);
    while (!text.empty() && text.back() == '\0') text.pop_back();
    *value = text;
    return true;
}

bool WriteMachineString(int view, const std::string& key, const char* name,
                        const std::string& value) {
    HKEY handle = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE | ViewFlag(view), nullptr, &handle, nullptr) != ERROR_SUCCESS)
        return false;
    const LONG status = RegSetValueExA(handle, name, 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(value.c_str()),
                                       DWORD(value.size() + 1));
    RegCloseKey(handle);
    return status == ERROR_SUCCESS;
}

bool DeleteMachineKey(int view, const std::string& key) {
    const LONG status = RegDeleteKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), ViewFlag(view), 0);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

const bool kDriverHostAvailable = true;

namespace {

struct Handle {
    HANDLE value = nullptr;
    Handle() = default;
    explicit Handle(HANDLE h) { Reset(h); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { Reset(); }
    void Reset(HANDLE h = nullptr) {
        if (value != nullptr) CloseHandle(value);
        value = h == INVALID_HANDLE_VALUE ? nullptr : h;
    }
};

// A security descriptor whose DACL grants the current user alone.
class OwnerOnly {
public:
    bool Build() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        user_.resize(size);
        const bool got = size > 0 && GetTokenInformation(token, TokenUser, user_.data(), size, &size);
        CloseHandle(token);
        if (!got) return false;
        PSID sid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
        acl_.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
        ACL* acl = reinterpret_cast<ACL*>(acl_.data());
        return InitializeAcl(acl, DWORD(acl_.size()), ACL_REVISION) &&
               AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, sid) &&
               InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
               SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE);
    }
    SECURITY_ATTRIBUTES* Attributes() {
        attributes_ = {sizeof attributes_, &descriptor_, FALSE};
        return &attributes_;
    }

private:
    std::vector<std::uint8_t> user_;
    std::vector<std::uint8_t> acl_;
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
};

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

HostProcess* StartHostProcess(const std::string& program, std::size_t sectionSize,
                              std::uint32_t timeoutMs, HostHandles* handles, std::uint32_t* error) {
    auto host = std::make_unique<HostProcess>();
    auto fail = [&]() -> HostProcess* {
        *error = GetLastError();
        if (*error == 0) *error = ERROR_GEN_FAILURE;
        if (host->process.value != nullptr) TerminateProcess(host->process.value, 1);
        return nullptr;
    };

    // A pipe nobody else can guess, open or reach from another machine.
    unsigned char random[16];
    if (!SystemFunction036(random, sizeof random)) return fail();
    std::string name = "\\\\.\\pipe\\KestavDriverHost-";
    for (unsigned char byte : random) {
        name += "0123456789abcdef"[byte >> 4];
        name += "0123456789abcdef"[byte & 15];
    }
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

    std::string commandLine = "\"" + program + "\" " + name;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
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

HostWait HostExchange(HostProcess* host, std::uint32_t timeoutMs) {
    SetEvent(host->requestEvent.value);
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
