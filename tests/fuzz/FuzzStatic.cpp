// The static channel plug-in's receive path, chunks in and responses out,
// through its real entry point with stand-in client procedures: any bytes
// read as data events (flags, announced total, the chunk's bytes) on KstCmd1
// and KstDta1, with disconnections and reconnections between them. Every
// response is written to an open channel, is a response of the protocol, at
// most the longest message, and its bytes are still the plug-in's when the
// client completes the write; after the input, a "Hello" is answered.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "relay/VirtualChannelRemoteDesktop.h"
#include "svc/StaticChannelApi.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int VirtualChannelEntryEx(svc::api::EntryPointsEx* entryPoints, void* initHandle);

namespace {

namespace api = svc::api;

std::mutex mutex;
std::condition_variable written;
std::vector<std::string> writesSeen;
struct Pending {
    std::string copy;  // the bytes as written
    const char* data;
    std::uint32_t length;
    void* user;
    std::uint32_t handle;
};
std::vector<Pending> pending;
int initToken;
void* userParam;
api::InitEventEx initEvent;
api::OpenEventEx openEvents[2];
bool open[2];
bool connected;

std::uint32_t Init(void* user, void*, void*, api::ChannelDef*, int count, std::uint32_t, api::InitEventEx event) {
    if (count != 2) __builtin_trap();
    userParam = user;
    initEvent = event;
    return api::kOk;
}
std::uint32_t Open(void*, std::uint32_t* handle, char* name, api::OpenEventEx event) {
    if (!connected) return 4;
    const int which = std::string(name) == "KstCmd1" ? 0 : 1;
    std::lock_guard<std::mutex> lock(mutex);
    if (open[which]) return 14;
    open[which] = true;
    openEvents[which] = event;
    *handle = 100 + which;
    return api::kOk;
}
std::uint32_t Close(void*, std::uint32_t handle) {
    std::lock_guard<std::mutex> lock(mutex);
    if (handle < 100 || handle > 101 || !open[handle - 100]) return 10;
    open[handle - 100] = false;
    return api::kOk;
}
std::uint32_t Write(void*, std::uint32_t handle, void* data, std::uint32_t length, void* user) {
    std::lock_guard<std::mutex> lock(mutex);
    if (handle < 100 || handle > 101 || !open[handle - 100]) __builtin_trap();  // a write to a closed channel
    const std::string bytes(static_cast<const char*>(data), length);
    if (bytes.size() > relay::rd::kLongestResponse) __builtin_trap();
    if (bytes.compare(0, 2, "OK") != 0 && bytes.compare(0, 6, "ERROR|") != 0 && bytes != "1.6.0") __builtin_trap();
    pending.push_back(Pending{bytes, static_cast<const char*>(data), length, user, handle});
    writesSeen.push_back(bytes);
    written.notify_all();
    return api::kOk;
}

// The client's completions, on its own thread: the bytes must be unchanged.
void CompleteWrites() {
    std::vector<Pending> done;
    {
        std::lock_guard<std::mutex> lock(mutex);
        done.swap(pending);
    }
    for (const Pending& write : done) {
        if (std::string(write.data, write.length) != write.copy) __builtin_trap();
        openEvents[write.handle - 100](userParam, write.handle, api::kEventWriteComplete, write.user, write.length,
                                       write.length, 0);
    }
}

void Connect() {
    connected = true;
    initEvent(userParam, &initToken, api::kEventConnected, nullptr, 0);
}
void Disconnect() {
    initEvent(userParam, &initToken, api::kEventDisconnected, nullptr, 0);
    connected = false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Prepare();
    api::EntryPointsEx points{sizeof points, api::kVersionWin2000, Init, Open, Close, Write};
    if (VirtualChannelEntryEx(&points, &initToken) != 1) __builtin_trap();
    initEvent(userParam, &initToken, api::kEventInitialized, nullptr, 0);
    Connect();
    std::atexit([] {
        Disconnect();
        initEvent(userParam, &initToken, api::kEventTerminated, nullptr, 0);
        CompleteWrites();
    });
    return 0;
}

// The input: events of 7 bytes each and their data: a flags byte (bit 2:
// KstDta1; 0xFE: disconnect and connect again), the announced total
// (32 bits), the chunk's length (16 bits), then its bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 2 * 1024 * 1024) return 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        writesSeen.clear();
    }
    std::string buffer;
    for (std::size_t at = 0; at + 7 <= size;) {
        const std::uint8_t flags = data[at];
        const std::uint32_t total = std::uint32_t(data[at + 1]) | std::uint32_t(data[at + 2]) << 8 |
                                    std::uint32_t(data[at + 3]) << 16 | std::uint32_t(data[at + 4]) << 24;
        std::size_t length = std::size_t(data[at + 5]) | std::size_t(data[at + 6]) << 8;
        at += 7;
        if (flags == 0xFE) {
            Disconnect();
            Connect();
            continue;
        }
        if (length > size - at) length = size - at;
        buffer.assign(reinterpret_cast<const char*>(data + at), length);
        at += length;
        // The recording driver's fault switches and driver loads are the tests', not input.
        if (buffer.find("@fault") != std::string::npos || buffer.find("Init") != std::string::npos) continue;
        const int which = (flags & 4) ? 1 : 0;
        if (!open[which]) continue;
        openEvents[which](userParam, 100 + which, api::kEventDataReceived, buffer.empty() ? nullptr : &buffer[0],
                          std::uint32_t(buffer.size()), total, flags & 0x63);
        buffer.assign(buffer.size(), '\xCC');  // the client's buffer lasts for the event only
        CompleteWrites();
    }
    // A whole "Hello" starts afresh whatever came before; nothing written for 30 s: stalled.
    fuzz::AwaitHello(mutex, written, writesSeen,
                     [&] {
                         CompleteWrites();  // the client sends what it holds meanwhile
                         std::string hello = "Hello";
                         openEvents[0](userParam, 100, api::kEventDataReceived, &hello[0], 5, 5, 3);
                     },
                     std::chrono::seconds(30));
    CompleteWrites();
    static unsigned runs = 0;
    if (++runs % 4096 == 0) fuzz::ForgetRecordedCalls();
    return 0;
}
