// The one object between the ICA transport and the command processor: it runs
// each received command text, answers the version query itself, and keeps the
// newest response until the transport has handed it to the engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "ica/EngineRecords.h"
#include "relay/InstrumentThread.h"

namespace commands {
class Instrument;
}

namespace relay {

extern const char* const DriverVersion;

class VirtualChannelICA {
public:
    VirtualChannelICA();
    ~VirtualChannelICA();
    VirtualChannelICA(const VirtualChannelICA&) = delete;
    VirtualChannelICA& operator=(const VirtualChannelICA&) = delete;

    // maximumWrite: the engine's maximum write size from the data channel's
    // write-hook record, the channel-number byte included; 0 (or 1) when the
    // engine gave none.
    void SetDataChannel(std::uint16_t channel, void* engineData,
                        ica::QueueVirtualWriteProc queueVirtualWrite, ica::HpcSendProc hpcSend,
                        bool isHpc, std::uint16_t maximumWrite = 0);

    // Runs one command text; its response becomes the pending response
    // (replacing one not sent yet) and is returned.
    std::string Execute(const std::string& command);
    // The same for the command numbered `sequence` (NumberCommand, Submit):
    // its response is kept only while no newer command has arrived.
    std::string Execute(const std::string& command, std::uint64_t sequence);
    std::uint64_t NumberCommand();

    // Whether the next command goes to the instrument thread: the last Init
    // chose it, or commands queued there are not done yet (responses never
    // overtake each other).
    bool QueuesCommands();
    // Queues a command for the instrument thread and returns at once. A
    // response not sent yet, or still being worked out, is dropped unsent.
    void Submit(const std::string& command, const InstrumentThread::Runner& runner);
    // Ends the instrument thread (close and unload): queued commands are
    // dropped and logged, a running one gets kStopWaitMs to finish. False
    // when it is still running then: `afterwards` runs when it is done.
    bool StopInstrumentThread(const boost::function<void()>& afterwards);
    static constexpr std::uint32_t kStopWaitMs = 1000;

    // Guards the pending response between the engine's thread and the
    // instrument thread: held by whoever looks at it or sends it.
    std::mutex& ResponseLock() { return responseLock; }

    bool HasPendingResponse() const { return pendingResponse != nullptr; }
    // Hands the pending response to the engine on the data channel and returns
    // the engine's status; 21 when nothing is pending. Never clears it.
    [[nodiscard]] ica::EngineStatus SendPendingResponse();
    std::string GetResponse();
    void ClearResponse();

    // Releases the instrument driver library (the engine's unload procedure).
    void ReleaseDriver();
    // Ends the driver host, when the driver runs in one (the close procedure).
    void ReleaseHostedDriver();

    // Status of a send attempted before the data channel was set up.
    static constexpr ica::EngineStatus kNotConnected = ica::kStatusGeneralError;

private:
    std::unique_ptr<commands::Instrument> instrument;
    std::uint16_t dataChannel = 0;
    void* engineData = nullptr;
    ica::HpcSendProc hpcSend = nullptr;
    ica::QueueVirtualWriteProc queueVirtualWrite = nullptr;
    ica::MemorySection outSection{};
    bool isHpc = false;
    std::uint16_t maximumWrite = 0;
    std::shared_ptr<std::string> pendingResponse;
    std::mutex responseLock;
    std::uint64_t newestCommand = 0;  // the number of the last command that arrived
    std::atomic<bool> threadChosen{false};
    InstrumentThread instrumentThread;
};

VirtualChannelICA& GetVirtualChannel();

}  // namespace relay
