// Dynamic and static channels of an xrdp session, through xrdp's own libxrdpapi (loaded
// at run time: a program that never opens a channel runs without xrdp). Its
// reads give the bytes as they arrive, without Windows' chunk headers.
#include "platform/SessionChannel.h"

#include <dlfcn.h>

#include <chrono>
#include <memory>
#include <thread>
#include <mutex>
#include <string>

#include "platform/posix/Multiarch.h"

namespace platform {

const std::size_t kLongestWholeWrite = 32768;

namespace {

constexpr std::uint32_t kNotSupported = 50;      // ERROR_NOT_SUPPORTED
constexpr std::uint32_t kFileNotFound = 2;       // ERROR_FILE_NOT_FOUND
constexpr std::uint32_t kWriteFault = 29;        // ERROR_WRITE_FAULT
constexpr unsigned kCurrentSession = 0xFFFFFFFF;  // WTS_CURRENT_SESSION
constexpr unsigned kDynamic = 1;                 // WTS_CHANNEL_OPTION_DYNAMIC
// How often a write that would block is tried, 10 ms apart: half a second.
// A command fits the socket's buffer whole, so a write waits only while
// xrdp's channel service takes nothing, as after the client went (a longer
// wait made a call while the client was away take 2 s).
constexpr int kWriteAttempts = 50;
// What one read takes at most: far more than xrdp passes on at once.
constexpr std::size_t kReadBytes = 64 * 1024;

using OpenProc = void* (*)(unsigned session, const char* name, unsigned flags);
using WriteProc = int (*)(void* channel, const char* bytes, unsigned size, unsigned* written);
using ReadProc = int (*)(void* channel, unsigned timeoutMs, char* bytes, unsigned size, unsigned* read);
using CloseProc = int (*)(void* channel);

struct Api {
    OpenProc open = nullptr;
    WriteProc write = nullptr;
    ReadProc read = nullptr;
    CloseProc close = nullptr;
};

// xrdp's library, loaded once and kept: where xrdp installs it, else by the loader's search.
const Api* LoadApi() {
    static Api api;
    static std::once_flag once;
    std::call_once(once, [] {
        void* library = nullptr;
        const std::string own = std::string("/usr/lib/") + kMultiarch + "/xrdp/libxrdpapi.so.0";
        for (const char* path : {own.c_str(), "/usr/lib/xrdp/libxrdpapi.so.0", "/usr/local/lib/xrdp/libxrdpapi.so.0",
                                 "libxrdpapi.so.0"}) {
            library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
            if (library != nullptr) break;
        }
        if (library == nullptr) return;
        api.open = reinterpret_cast<OpenProc>(dlsym(library, "WTSVirtualChannelOpenEx"));
        api.write = reinterpret_cast<WriteProc>(dlsym(library, "WTSVirtualChannelWrite"));
        api.read = reinterpret_cast<ReadProc>(dlsym(library, "WTSVirtualChannelRead"));
        api.close = reinterpret_cast<CloseProc>(dlsym(library, "WTSVirtualChannelClose"));
    });
    return api.open && api.write && api.read && api.close ? &api : nullptr;
}

}  // namespace

struct SessionChannel {
    const Api* api = nullptr;
    void* channel = nullptr;
    ~SessionChannel() {
        if (channel != nullptr) api->close(channel);
    }
};

namespace {
SessionChannel* OpenChannel(const std::string& name, unsigned flags, std::uint32_t* error) {
    const Api* api = LoadApi();
    if (api == nullptr) {
        *error = kNotSupported;
        return nullptr;
    }
    auto opened = std::make_unique<SessionChannel>();
    opened->api = api;
    opened->channel = api->open(kCurrentSession, name.c_str(), flags);
    if (opened->channel == nullptr) {
        *error = kFileNotFound;
        return nullptr;
    }
    return opened.release();
}
}  // namespace

SessionChannel* OpenDynamicChannel(const std::string& name, std::uint32_t* error) {
    return OpenChannel(name, kDynamic, error);
}

SessionChannel* OpenStaticChannel(const std::string& name, std::uint32_t* error) {
    return OpenChannel(name, 0, error);
}

bool ChunkHeaders(const SessionChannel*) { return false; }

bool SessionChannelWrite(SessionChannel* channel, const std::string& bytes, std::uint32_t* error) {
    // xrdp's releases differ in what they return on success (1 in 0.9, 0
    // later) and agree on -1 for a broken channel and on the count written;
    // nothing written means the socket would block: tried again for a while.
    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
        unsigned written = 0;
        const int result = channel->api->write(channel->channel, bytes.data(), unsigned(bytes.size()), &written);
        if (result < 0) break;
        if (written == bytes.size()) return true;
        if (written != 0) break;  // cut short: the channel's stream is no longer whole
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    *error = kWriteFault;
    return false;
}

ChunkWait SessionChannelRead(SessionChannel* channel, std::uint32_t timeoutMs, std::vector<std::uint8_t>* chunk) {
    chunk->resize(kReadBytes);
    unsigned got = 0;
    if (channel->api->read(channel->channel, timeoutMs, reinterpret_cast<char*>(chunk->data()),
                           unsigned(chunk->size()), &got) == 0) {
        chunk->clear();
        return ChunkWait::Closed;
    }
    chunk->resize(got);
    return got == 0 ? ChunkWait::TimedOut : ChunkWait::Done;
}

void CloseSessionChannel(SessionChannel* channel) { delete channel; }

}  // namespace platform
