// One write from the server in, its response out on the data channel.
#include "diag/LogFile.h"
#include "ica/Driver.h"
#include "relay/VirtualChannelICA.h"

namespace ica {

bool g_bIsHPC = false;

namespace {

// One command, from its text to its response handed on: inside the write
// hook, or on the instrument thread.
void RunCommand(const std::string& command, std::uint64_t sequence) {
    const std::string response = relay::GetVirtualChannel().Execute(command, sequence);
    diag::LogDetail("Response: \"", response, "\"");
    if (g_bIsHPC) {
        diag::LogDetail("Is HPC --> Send data direct");
        // A failed direct send stays pending for the next poll.
        (void)SendData();
    }
}

}  // namespace

EngineStatus KST_CDECL ICADataArrival(void*, std::uint16_t channel, std::uint8_t* bytes,
                                      std::uint16_t length) {
    return Guarded([&] {
        diag::LogLine("ICA: Data arrival");
        const std::string command(reinterpret_cast<const char*>(bytes),
                                  bytes != nullptr ? length : 0);
        diag::LogDetail("Data (channel: ", channel, ", size: ", length, "): \"", command, "\"");
        relay::VirtualChannelICA& virtualChannel = relay::GetVirtualChannel();
        if (virtualChannel.QueuesCommands()) {
            // The engine's thread must never wait on an instrument: the
            // command runs on the instrument thread, and its response leaves
            // at a later poll (or by a direct send with HPC).
            virtualChannel.Submit(command, &RunCommand);
        } else {
            RunCommand(command, virtualChannel.NumberCommand());
        }
        return kStatusSuccess;
    });
}

EngineStatus SendData() {
    relay::VirtualChannelICA& channel = relay::GetVirtualChannel();
    // The poll (engine's thread) and a direct send (instrument thread) never
    // hand the same response over twice, nor one half replaced.
    std::lock_guard<std::mutex> lock(channel.ResponseLock());
    if (!channel.HasPendingResponse()) return kStatusNoData;
    diag::LogLine("ICA: SendData - Data available");

    const EngineStatus status = channel.SendPendingResponse();
    if (status != kStatusSuccess) {
        diag::LogDetail("Error sending response (Error: ", status, ")");
        return status == kStatusNoOutputBuffer ? kStatusRetry : status;
    }
    diag::LogDetail("Response sent (\"", channel.GetResponse(), "\")");
    channel.ClearResponse();
    return kStatusSuccess;
}

EngineStatus DriverPoll(DriverRecord*, void*, std::uint16_t*) {
    return SendData();
}

}  // namespace ica
