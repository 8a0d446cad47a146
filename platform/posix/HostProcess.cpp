// The driver host on Linux: a child process with one end of a private
// socket pair for set-up, an anonymous shared memory file for the section and
// two eventfds for the signals, all inherited under fixed numbers and nothing
// else; no other process can reach any of them.
#include "platform/HostProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "platform/File.h"

namespace platform {

const bool kDriverHostAvailable = true;
const bool kOtherX86DriverHost = false;

namespace {

// Where the host finds what it was given: its end of the link is argv[1].
constexpr int kLinkFd = 3, kSectionFd = 4, kRequestFd = 5, kAnswerFd = 6;

// The system's reasons, as the Windows codes the module's messages know.
std::uint32_t SystemCode(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return 2;  // not there
        case EACCES:
        case EPERM:
            return 5;  // access denied
        case ENOEXEC:
        case ELIBBAD:
            return 193;  // not a program this system runs
        case ETIMEDOUT:
            return 1460;
        default:
            return 31;  // ERROR_GEN_FAILURE
    }
}

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    void Reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }
    int get() const { return fd_; }

private:
    int fd_ = -1;
};

// Waits for `fd` to be ready for `events`: its revents, 0 on timeout or failure.
int PollOne(int fd, short events, std::uint32_t timeoutMs) {
    pollfd one{fd, events, 0};
    for (;;) {
        const int ready = poll(&one, 1, timeoutMs > 0x7fffffffu ? -1 : int(timeoutMs));
        if (ready < 0 && errno == EINTR) continue;
        return ready > 0 ? one.revents : 0;
    }
}

// In the child: only what is async-signal-safe runs between fork and exec.
// The host ends by itself when this process does, however it ends: it
// watches its end of the link (platform/posix/ModuleLink.cpp).
[[noreturn]] void RunHost(const char* program, char* const* argv, char* const* environment,
                          const int (&given)[4], int errorPipe) {
    // Out of the way of the fixed numbers first, then onto them.
    int moved[4];
    for (int i = 0; i < 4; ++i) moved[i] = fcntl(given[i], F_DUPFD_CLOEXEC, 64);
    const int targets[4] = {kLinkFd, kSectionFd, kRequestFd, kAnswerFd};
    for (int i = 0; i < 4; ++i)
        if (moved[i] < 0 || dup2(moved[i], targets[i]) != targets[i]) _exit(1);
    // Nothing else of the client's reaches the driver.
    const int errorFd = fcntl(errorPipe, F_DUPFD_CLOEXEC, kAnswerFd + 1);
    if (errorFd < 0) _exit(1);
    for (int fd = kAnswerFd + 1; fd < 1024; ++fd)
        if (fd != errorFd) close(fd);
    syscall(SYS_close_range, 1024u, ~0u, 0u);
    execve(program, argv, environment);
    const int error = errno;
    (void)!write(errorFd, &error, sizeof error);
    _exit(127);
}

}  // namespace

struct HostProcess {
    pid_t pid = -1;
    bool reaped = false;
    int status = 0;
    Fd link, requestEvent, answerEvent;
    std::uint8_t* view = nullptr;
    std::size_t size = 0;
    ~HostProcess() {
        if (view != nullptr) munmap(view, size);
    }
    // Collects its exit status once it has ended; false while it runs.
    bool Reap(bool wait) {
        if (reaped) return true;
        int got = 0;
        pid_t done;
        do done = waitpid(pid, &got, wait ? 0 : WNOHANG);
        while (done < 0 && errno == EINTR);
        if (done == pid) {
            status = got;
            reaped = true;
        } else if (done < 0) {
            reaped = true;  // someone else collected it (a client ignoring SIGCHLD)
        }
        return reaped;
    }
};

namespace {
// This process's environment, with `libraryFolder` first in LD_LIBRARY_PATH.
std::vector<std::string> HostEnvironment(const std::string& libraryFolder) {
    static const std::string kName = "LD_LIBRARY_PATH=";
    std::vector<std::string> environment;
    std::string earlier;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (text.compare(0, kName.size(), kName) == 0) earlier = text.substr(kName.size());
        else environment.push_back(text);
    }
    std::string paths = libraryFolder;
    if (!earlier.empty()) paths += (paths.empty() ? "" : ":") + earlier;
    if (!paths.empty()) environment.push_back(kName + paths);
    return environment;
}
}  // namespace

HostProcess* StartHostProcess(const std::string& program, const std::string& libraryFolder,
                              std::size_t sectionSize, std::uint32_t timeoutMs, HostHandles* handles,
                              std::uint32_t* error) {
    auto host = std::make_unique<HostProcess>();
    auto fail = [&](int code) -> HostProcess* {
        *error = SystemCode(code);
        return nullptr;
    };
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return fail(errno);
    host->link.Reset(pair[0]);
    Fd hostLink(pair[1]);
    Fd section(memfd_create("kestav-driver-host", MFD_CLOEXEC));
    if (section.get() < 0 || ftruncate(section.get(), off_t(sectionSize)) != 0) return fail(errno);
    void* view = mmap(nullptr, sectionSize, PROT_READ | PROT_WRITE, MAP_SHARED, section.get(), 0);
    if (view == MAP_FAILED) return fail(errno);
    host->view = static_cast<std::uint8_t*>(view);
    host->size = sectionSize;
    host->requestEvent.Reset(eventfd(0, EFD_CLOEXEC));
    host->answerEvent.Reset(eventfd(0, EFD_CLOEXEC));
    if (host->requestEvent.get() < 0 || host->answerEvent.get() < 0) return fail(errno);
    int errorPipe[2];
    if (pipe2(errorPipe, O_CLOEXEC) != 0) return fail(errno);
    Fd errorRead(errorPipe[0]), errorWrite(errorPipe[1]);

    std::string path = NativePath(program);
    std::string linkArgument = std::to_string(kLinkFd);
    char* argv[] = {&path[0], &linkArgument[0], nullptr};
    // Made before the fork: the child only calls what is safe there.
    std::vector<std::string> environment = HostEnvironment(NativePath(libraryFolder));
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(&entry[0]);
    envp.push_back(nullptr);
    const int given[4] = {hostLink.get(), section.get(), host->requestEvent.get(),
                          host->answerEvent.get()};
    const pid_t pid = fork();
    if (pid < 0) return fail(errno);
    if (pid == 0) RunHost(path.c_str(), argv, envp.data(), given, errorWrite.get());
    host->pid = pid;
    errorWrite.Reset();
    hostLink.Reset();

    // The exec's outcome: the pipe closes when it succeeded, or carries errno.
    int execError = 0;
    const int ready = PollOne(errorRead.get(), POLLIN, timeoutMs);
    ssize_t got = -1;
    if (ready != 0) {
        do got = read(errorRead.get(), &execError, sizeof execError);
        while (got < 0 && errno == EINTR);
    }
    if (got != 0) {
        kill(pid, SIGKILL);
        host->Reap(true);
        return fail(got == sizeof execError ? execError : ETIMEDOUT);
    }
    handles->section = kSectionFd;
    handles->requestEvent = kRequestFd;
    handles->answerEvent = kAnswerFd;
    *error = 0;
    return host.release();
}

std::uint32_t HostProcessId(const HostProcess* host) { return std::uint32_t(host->pid); }

std::uint8_t* HostSection(HostProcess* host) { return host->view; }

bool HostSend(HostProcess* host, const std::vector<std::uint8_t>& message) {
    if ((PollOne(host->link.get(), POLLOUT, 10000) & POLLOUT) == 0) return false;
    ssize_t sent;
    do sent = send(host->link.get(), message.data(), message.size(), MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent == ssize_t(message.size());
}

HostWait HostReceive(HostProcess* host, std::vector<std::uint8_t>* message,
                     std::uint32_t timeoutMs) {
    const int ready = PollOne(host->link.get(), POLLIN, timeoutMs);
    if (ready == 0) return HostWait::TimedOut;
    message->assign(4096, 0);
    ssize_t got;
    do got = recv(host->link.get(), message->data(), message->size(), MSG_TRUNC | MSG_DONTWAIT);
    while (got < 0 && errno == EINTR);
    if (got <= 0) {
        message->clear();
        return HostWait::Exited;
    }
    if (std::size_t(got) > message->size()) {
        message->clear();  // longer than any handshake: it does not read
        return HostWait::Done;
    }
    message->resize(std::size_t(got));
    return HostWait::Done;
}

void HostSignalRequest(HostProcess* host) {
    const std::uint64_t one = 1;
    (void)!write(host->requestEvent.get(), &one, sizeof one);
}

HostWait HostAwaitAnswer(HostProcess* host, std::uint32_t timeoutMs) {
    // The host never writes to the link once it serves: the link becomes
    // readable (end of file) or hung up only when the host has ended.
    pollfd waits[2] = {{host->answerEvent.get(), POLLIN, 0}, {host->link.get(), POLLIN, 0}};
    int ready;
    do ready = poll(waits, 2, timeoutMs > 0x7fffffffu ? -1 : int(timeoutMs));
    while (ready < 0 && errno == EINTR);
    if (ready == 0) return HostWait::TimedOut;
    if (ready > 0 && (waits[0].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        (void)!read(host->answerEvent.get(), &count, sizeof count);
        return HostWait::Done;
    }
    return HostWait::Exited;
}

std::uint32_t HostExitCode(const HostProcess* host) {
    HostProcess* self = const_cast<HostProcess*>(host);
    // Called once it has ended; a host that only pretends to (a driver
    // writing to the link) is given a moment and then ended.
    for (int waited = 0; !self->Reap(false); ++waited) {
        if (waited >= 2000) {
            kill(self->pid, SIGKILL);
            self->Reap(true);
            break;
        }
        const timespec oneMs{0, 1000 * 1000};
        nanosleep(&oneMs, nullptr);
    }
    if (WIFEXITED(self->status)) return std::uint32_t(WEXITSTATUS(self->status));
    if (WIFSIGNALED(self->status)) return 128u + std::uint32_t(WTERMSIG(self->status));
    return 0;
}

std::string ExitCodeText(std::uint32_t code) {
    // A shell's form: 128 + the signal that ended it.
    if (code > 128 && code < 128 + 65) {
        const char* name = sigabbrev_np(int(code - 128));
        if (name != nullptr) return std::to_string(code) + " (SIG" + name + ")";
    }
    return std::to_string(code);
}

void AbortHostProcess(HostProcess* host) {
    // Only its owner reaps it, and not while it waits on it: the pid is still this child's.
    kill(host->pid, SIGKILL);
}

std::uint32_t EndHostProcess(HostProcess* host, std::uint32_t graceMs) {
    if (host == nullptr) return 0;
    for (std::uint32_t waited = 0; !host->Reap(false); ++waited) {
        if (waited >= graceMs) {
            kill(host->pid, SIGKILL);
            host->Reap(true);
            break;
        }
        const timespec oneMs{0, 1000 * 1000};
        nanosleep(&oneMs, nullptr);
    }
    const std::uint32_t code = HostExitCode(host);
    delete host;
    return code;
}

}  // namespace platform
