// The session core's whole receive path, as both transports use it: any bytes
// (up to 2 MiB) split into writes, each run where the transport runs it (in
// the caller, or queued for the instrument thread), the recording driver
// bound. Each run command is answered with a response of the protocol; a
// write too long, or one that does not fit beside those waiting, gets its
// error; every queued command is answered before the next input.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "relay/Session.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

std::mutex mutex;
std::condition_variable answered;
// Every response delivered during this input, in order.
std::vector<std::string> delivered;

relay::Session& TheSession() {
    static relay::Session session(
        [](const std::string&, const std::string& response) {
            std::lock_guard<std::mutex> lock(mutex);
            delivered.push_back(response);
            answered.notify_all();
        },
        {}, {});
    return session;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Prepare();
    (void)TheSession().Execute("Init|recording|");
    // The instrument thread ends before the session goes, as a transport's
    // close ends it.
    std::atexit([] { TheSession().StopThenRelease(relay::Session::Release::Driver); });
    return 0;
}

// The input: writes separated by 0xFF; a write that starts with 0xFE goes to
// the instrument thread, any other runs in the caller.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 2 * 1024 * 1024) return 0;
    relay::Session& session = TheSession();
    {
        std::lock_guard<std::mutex> lock(mutex);
        delivered.clear();
    }
    const std::string input(reinterpret_cast<const char*>(data), size);
    bool queued = false;
    for (std::size_t start = 0; start <= input.size();) {
        std::size_t end = input.find('\xFF', start);
        if (end == std::string::npos) end = input.size();
        std::string command = input.substr(start, end - start);
        start = end + 1;
        const bool threaded = !command.empty() && command[0] == '\xFE';
        if (threaded) command.erase(0, 1);
        // Never a driver that is not the recording one: the fuzzer keeps its
        // own process.
        if (command.compare(0, 4, "Init") == 0) command = "Init|recording|";
        // The recording driver's fault switches (crash, sleep, wait) are the tests', not input.
        if (command.find("@fault") != std::string::npos) continue;
        if (threaded) {
            session.Submit(command);
            queued = true;
            continue;
        }
        const std::string response = session.Execute(command);
        if (!fuzz::IsResponse(response)) __builtin_trap();
        if (command.size() > relay::kLongestCommand && response != relay::CommandTooLong(command.size()))
            __builtin_trap();
    }
    if (queued) {
        // A last command answered means every one before it has run; nothing
        // handed on for a minute: the session has stalled.
        fuzz::AwaitHello(mutex, answered, delivered, [&] { session.Submit("Hello"); }, std::chrono::seconds(60));
        std::lock_guard<std::mutex> lock(mutex);
        for (const std::string& response : delivered)
            if (!fuzz::IsResponse(response)) __builtin_trap();
    }
    static unsigned runs = 0;
    if (++runs % 4096 == 0) fuzz::ForgetRecordedCalls();
    return 0;
}
