// Shared set-up of the fuzz targets: a log that cannot be written (so that
// millions of runs do not fill the disk, and the silent-failure path is what
// runs), the module folder beside the program, and control of the recording
// driver's call record.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "diag/ModuleFolder.h"
#include "platform/CallingConvention.h"
#include "platform/Environment.h"
#include "platform/Library.h"
#include "platform/Names.h"
#include "platform/Registry.h"
#include "relay/Session.h"

namespace fuzz {

constexpr std::size_t kMaximumInput = 64 * 1024;

inline void Prepare() {
    if (std::getenv("KST_FUZZ_LOG") == nullptr)
        platform::SetEnvironment("TMPDIR", "/nonexistent-kestav-fuzz-log-folder");
    diag::SetModuleFolder(platform::ProgramFolder());
    // The recording driver in this process (the hosted target isolates it
    // itself), whatever the machine's settings file says.
    platform::SetEnvironment("KESTAV_SETTINGS_FILE", "/nonexistent-kestav-fuzz-settings");
    platform::WriteMachineDword(platform::View::Own, names::kPreferenceKey, names::kIsolateDriverSetting.name, 0);
}

// A response of the protocol: "OK...", "ERROR|...", or the version.
inline bool IsResponse(const std::string& response) {
    return response.compare(0, 2, "OK") == 0 || response.compare(0, 6, "ERROR|") == 0 ||
           response == relay::DriverVersion;
}

// One record's bytes from an input of records: two bytes of length (low
// byte first), then that many bytes, cut at the input's end.
inline std::string TakeRecord(const std::uint8_t*& at, const std::uint8_t* end) {
    if (end - at < 2) return at = end, std::string();
    const std::size_t length = std::size_t(at[0]) | std::size_t(at[1]) << 8;
    at += 2;
    const std::size_t taken = length < std::size_t(end - at) ? length : std::size_t(end - at);
    std::string bytes(reinterpret_cast<const char*>(at), taken);
    at += taken;
    return bytes;
}

// The recording driver keeps every call; forget them now and then so that a
// long run does not grow without bound.
inline void ForgetRecordedCalls() {
    static platform::LibraryHandle recording =
        platform::OpenLibrary(platform::ProgramFolder() + "/drivers/Kestav/recording.dll");
    static auto reset = reinterpret_cast<void(KST_CDECL*)()>(reinterpret_cast<std::uintptr_t>(
        recording ? platform::FindSymbol(recording, "RecordingReset") : nullptr));
    if (reset != nullptr) reset();
}

// Sends "Hello" with `send` until its answer, "OK|Hello", is among the
// responses `seen` gathers (under `mutex`, `changed` notified): answered in
// order, nothing sent before it waits any more. While the queue is full it
// is refused at once (the only refusal after it is sent): a moment for the
// instrument thread, and it is sent again; a refusal a later answer replaced
// shows as neither, and it is sent again after a second. Traps when nothing
// at all arrives for `stalled`.
template <typename Send>
void AwaitHello(std::mutex& mutex, std::condition_variable& changed, const std::vector<std::string>& seen,
                Send send, std::chrono::seconds stalled) {
    const std::string refused = relay::TooManyWaiting();
    auto giveUp = std::chrono::steady_clock::now() + stalled;
    bool done = false;
    while (!done) {
        std::unique_lock<std::mutex> lock(mutex);
        const std::size_t mark = seen.size();
        lock.unlock();
        send();
        lock.lock();
        bool refusedNow = false;
        if (!changed.wait_for(lock, std::chrono::seconds(1), [&] {
                for (std::size_t i = mark; i < seen.size(); ++i) {
                    done = done || seen[i] == "OK|Hello";
                    refusedNow = refusedNow || seen[i] == refused;
                }
                return done || refusedNow;
            })) {
            if (seen.size() > mark) giveUp = std::chrono::steady_clock::now() + stalled;
            else if (std::chrono::steady_clock::now() > giveUp) __builtin_trap();
        }
        lock.unlock();
        if (!done) std::this_thread::yield();
    }
}

}  // namespace fuzz
