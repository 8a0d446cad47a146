// One write from the server in, its response out on the data channel.
#include "diag/LogFile.h"
#include "ica/Driver.h"
#include "relay/VirtualChannelICA.h"

namespace ica {

bool g_bIsHPC = false;

EngineStatus KST_CDECL ICADataArrival(void*, std::uint16_t channel, std::uint8_t* bytes,
                                      std::uint16_t length) {
    return Guarded([&] {
        const std::string command(reinterpret_cast<const char*>(bytes),
                                  bytes != nullptr ? length : 0);
        diag::LogArrival("ICA", std::to_string(channel), length, &command);
        relay::VirtualChannelICA& virtualChannel = relay::GetVirtualChannel();
        if (virtualChannel.UsesInstrumentThread()) {
            // The engine's thread never waits on an instrument: the command
            // runs on the instrument thread, and its response leaves at a
            // later poll, on this thread.
            virtualChannel.Submit(command);
            return kStatusSuccess;
        }
        const std::string response = virtualChannel.Execute(command);
        diag::LogDetail("Response: \"", diag::Shown{response}, "\"");
        if (g_bIsHPC) {
            diag::LogDetail("Is HPC --> Send data direct");
            // A failed direct send stays pending for the next poll.
            (void)SendData();
        }
        return kStatusSuccess;
    });
}

EngineStatus SendData() {
    relay::VirtualChannelICA& channel = relay::GetVirtualChannel();
    if (!channel.HasPendingResponse()) return kStatusNoData;
    diag::LogLine("ICA: SendData - Data available");

    const EngineStatus status = channel.SendPendingResponse();
    if (status != kStatusSuccess) {
        diag::LogDetail("Error sending response (Error: ", status, ")");
        return status == kStatusNoOutputBuffer ? kStatusRetry : status;
    }
    diag::LogDetail("Response sent (\"", diag::Shown{channel.GetResponse()}, "\")");
    channel.ClearResponse();
    return kStatusSuccess;
}

EngineStatus DriverPoll(DriverRecord*, void*, std::uint16_t*) {
    return SendData();
}

}  // namespace ica
