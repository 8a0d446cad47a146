// The one object between the ICA transport and the command processor: it runs
// each received command text, answers the version query itself, and keeps the
// newest response until the transport has handed it to the engine. Commands
// run either right here, inside the engine's write hook, or on the
// instrument thread; the engine's send procedures are called only on the
// engine's own thread (the write hook and the poll).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "ica/EngineRecords.h"
#include "platform/Lock.h"
#include "relay/Session.h"

namespace relay {

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
    bool IsHpc() const { return isHpc; }

    // Whether commands go to the instrument thread: the transport decides
    // when the engine opens the driver, for the whole session.
    void UseInstrumentThread(bool use) { threaded = use; }
    bool UsesInstrumentThread() const { return threaded; }

    // Runs one command text right here; its response becomes the pending
    // response (replacing one not sent yet) and is returned.
    std::string Execute(const std::string& command);
    // Queues a command for the instrument thread and returns at once. A
    // response not sent yet, or still being worked out, is dropped unsent;
    // this command's response becomes pending when it is ready.
    void Submit(const std::string& command);
    // Ends the instrument thread (close and unload), then releases the
    // instrument driver or its host (Session::StopThenRelease).
    void StopThenRelease(Session::Release what) { session.StopThenRelease(what); }

    // Called (on the thread that worked it out) each time a response becomes
    // pending; it must not block. Null: nobody is told.
    void OnResponseReady(std::function<void()> notice);

    bool HasPendingResponse() const;
    // Hands the pending response to the engine on the data channel and returns
    // the engine's status; 21 when nothing is pending. Never clears it.
    [[nodiscard]] ica::EngineStatus SendPendingResponse();
    std::string GetResponse();
    void ClearResponse();


    // Status of a send attempted before the data channel was set up.
    static constexpr ica::EngineStatus kNotConnected = ica::kStatusGeneralError;

private:
    // The newest command's response becomes the pending one.
    void Keep(const std::string& command, const std::string& response);

    std::uint16_t dataChannel = 0;
    void* engineData = nullptr;
    ica::HpcSendProc hpcSend = nullptr;
    ica::QueueVirtualWriteProc queueVirtualWrite = nullptr;
    ica::MemorySection outSection{};
    bool isHpc = false;
    bool threaded = false;
    std::uint16_t maximumWrite = 0;
    // The pending response and what points into it (outSection), between the
    // engine's thread and the instrument thread.
    mutable platform::Mutex responseLock;
    std::shared_ptr<std::string> pendingResponse;
    std::function<void()> responseReady;
    Session session;
};

VirtualChannelICA& GetVirtualChannel();

}  // namespace relay
