// The driver host's side on Linux: its end of the socket pair, the shared
// memory file and the two eventfds arrive as inherited descriptors.
#include "platform/ModuleLink.h"

#include <errno.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace platform {

namespace {
// The exit code of a host whose module has gone.
constexpr int kModuleGone = 7;
// Longer than any set-up message (a path and a few numbers).
constexpr std::size_t kLongestMessage = 64 * 1024;

bool ParseDescriptor(const std::string& text, int* fd) {
    if (text.empty() || text.size() > 4) return false;
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    *fd = value;
    return true;
}
}  // namespace

void EndQuietlyOnCrash() {
    // A crash ends the host with its signal, which the module logs; no core
    // file is left behind in the user's folders.
    const rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
}

struct ModuleLink {
    int fd = -1;
};

ModuleLink* ConnectToModule(const std::string& pipeName) {
    int fd = -1;
    struct stat status {};
    if (!ParseDescriptor(pipeName, &fd) || fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode))
        return nullptr;
    // The module's end closes when its process ends, however it ends (there
    // is no job object here): this process goes with it, even while the
    // driver hangs in a call.
    std::thread([fd] {
        pollfd watched{fd, POLLRDHUP, 0};
        for (;;) {
            const int ready = poll(&watched, 1, -1);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0 || (watched.revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) != 0) _exit(kModuleGone);
        }
    }).detach();
    // One link for the host's whole life.
    static ModuleLink link;
    link.fd = fd;
    return &link;
}

bool LinkSend(ModuleLink* link, const std::vector<std::uint8_t>& message) {
    ssize_t sent;
    do sent = send(link->fd, message.data(), message.size(), MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent == ssize_t(message.size());
}

bool LinkReceive(ModuleLink* link, std::vector<std::uint8_t>* message) {
    message->assign(kLongestMessage, 0);
    ssize_t got;
    do got = recv(link->fd, message->data(), message->size(), MSG_TRUNC);
    while (got < 0 && errno == EINTR);
    if (got <= 0 || std::size_t(got) > message->size()) return false;
    message->resize(std::size_t(got));
    return true;
}

std::uint8_t* MapSharedSection(std::uint64_t section, std::size_t size) {
    struct stat status {};
    if (section > 1024 || fstat(int(section), &status) != 0 || !S_ISREG(status.st_mode) ||
        std::uint64_t(status.st_size) < size)
        return nullptr;
    void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, int(section), 0);
    return view == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(view);
}

bool WaitForSignal(std::uint64_t event) {
    std::uint64_t count = 0;
    ssize_t got;
    do got = read(int(event), &count, sizeof count);
    while (got < 0 && errno == EINTR);
    return got == sizeof count;
}

void Signal(std::uint64_t event) {
    const std::uint64_t one = 1;
    (void)!write(int(event), &one, sizeof one);
}

}  // namespace platform
