// Any bytes as one command text, with the recording instrument driver bound.
#include <cstdint>
#include <string>

#include "relay/VirtualChannelICA.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Prepare();
    relay::GetVirtualChannel().Execute("Init|recording|");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > fuzz::kMaximumInput) return 0;
    const std::string command(reinterpret_cast<const char*>(data), size);
    relay::VirtualChannelICA& channel = relay::GetVirtualChannel();
    const std::string response = channel.Execute(command);
    if (response.empty() || response != channel.GetResponse()) __builtin_trap();
    // An input may load another driver; keep the recording one bound.
    if (command.compare(0, 4, "Init") == 0) channel.Execute("Init|recording|");
    static unsigned runs = 0;
    if (++runs % 4096 == 0) fuzz::ForgetRecordedCalls();
    return 0;
}
