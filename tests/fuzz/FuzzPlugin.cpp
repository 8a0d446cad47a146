// The Remote Desktop plug-in's receive path, bytes in and responses out, with
// fake channels in place of the client's: any bytes split into messages on
// KstCmd1 and KstDta1, channels closed and opened again between them. Every
// response written goes to an open channel, is a response of the protocol and
// is at most the longest message; once the last message is answered, nothing
// is left waiting.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "relay/VirtualChannelRemoteDesktop.h"
#include "relay/Session.h"
#include "tests/fuzz/FuzzSupport.h"

namespace rd = relay::rd;

namespace {

std::mutex mutex;
std::condition_variable written;
// Every response written during this input, in order.
std::vector<std::string> writesSeen;
bool open[2] = {false, false};
std::uint64_t tokens[2] = {0, 0};

rd::VirtualChannelRemoteDesktop::Writer WriterFor(rd::Channel channel) {
    return [channel](const std::string& bytes) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!open[int(channel)]) __builtin_trap();  // a write to a closed channel
        if (bytes.size() > rd::kLongestResponse) __builtin_trap();
        if (bytes.compare(0, 2, "OK") != 0 && bytes.compare(0, 6, "ERROR|") != 0 && bytes != "1.6.0")
            __builtin_trap();
        writesSeen.push_back(bytes);
        written.notify_all();
        return true;
    };
}

void Open(rd::Channel channel) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        open[int(channel)] = true;
    }
    tokens[int(channel)] =
        rd::GetVirtualChannelRemoteDesktop().ChannelOpened(channel, WriterFor(channel), rd::Kind::Dynamic);
}

void Close(rd::Channel channel) {
    rd::GetVirtualChannelRemoteDesktop().ChannelClosed(channel, tokens[int(channel)], rd::Kind::Dynamic);
    std::lock_guard<std::mutex> lock(mutex);
    open[int(channel)] = false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Prepare();
    rd::GetVirtualChannelRemoteDesktop().Open(rd::Kind::Dynamic);
    Open(rd::Channel::Command);
    Open(rd::Channel::Data);
    // As the client ends the plug-in before it unloads it.
    std::atexit([] { rd::GetVirtualChannelRemoteDesktop().Terminate(rd::Kind::Dynamic); });
    return 0;
}

// The input: messages separated by 0xFF. A message's first byte picks its
// channel (odd: KstDta1); 0xFD closes KstDta1 and opens it again.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 2 * 1024 * 1024) return 0;
    rd::VirtualChannelRemoteDesktop& plugin = rd::GetVirtualChannelRemoteDesktop();
    {
        std::lock_guard<std::mutex> lock(mutex);
        writesSeen.clear();
    }
    const std::string input(reinterpret_cast<const char*>(data), size);
    for (std::size_t start = 0; start < input.size();) {
        std::size_t end = input.find('\xFF', start);
        if (end == std::string::npos) end = input.size();
        std::string message = input.substr(start, end - start);
        start = end + 1;
        if (message.empty()) continue;
        const unsigned char first = static_cast<unsigned char>(message[0]);
        if (first == 0xFD) {
            Close(rd::Channel::Data);
            Open(rd::Channel::Data);
            continue;
        }
        message.erase(0, 1);
        if (message.compare(0, 4, "Init") == 0) message = "Init|recording|";
        // The recording driver's fault switches (crash, sleep, wait) are the tests', not input.
        if (message.find("@fault") != std::string::npos) continue;
        plugin.Receive(first & 1 ? rd::Channel::Data : rd::Channel::Command, message, rd::Kind::Dynamic);
    }
    // Nothing written for 30 s: the plug-in has stalled.
    fuzz::AwaitHello(mutex, written, writesSeen,
                     [&] { plugin.Receive(rd::Channel::Command, "Hello", rd::Kind::Dynamic); },
                     std::chrono::seconds(30));
    static unsigned runs = 0;
    if (++runs % 4096 == 0) fuzz::ForgetRecordedCalls();
    return 0;
}
