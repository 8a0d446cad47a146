#include "relay/VirtualChannelICA.h"

#include "diag/LogFile.h"

namespace relay {

namespace {
// The HPC send procedure takes the length as 16 bits.
const std::size_t kMaximumHpcResponse = 0xFFFF;
}  // namespace

VirtualChannelICA::VirtualChannelICA()
    : session([this](const std::string& command,
                     const std::string& response) { Keep(command, response); },
              [this] {
                  std::lock_guard<platform::Mutex> lock(responseLock);
                  pendingResponse.reset();  // superseded: only the newest is answered
              },
              {}) {  // sent at the engine's next poll, on its thread
    diag::LogLine("VirtualChannelICA (", __DATE__, " - ", __TIME__, ")");
}

VirtualChannelICA::~VirtualChannelICA() {
    session.DestroyInstrument();
    diag::LogLine("~VirtualChannelICA");
    pendingResponse.reset();
}

void VirtualChannelICA::SetDataChannel(std::uint16_t channel, void* data,
                                       ica::QueueVirtualWriteProc queueWrite,
                                       ica::HpcSendProc send, bool hpc, std::uint16_t maximum) {
    std::lock_guard<platform::Mutex> lock(responseLock);
    dataChannel = channel;
    maximumWrite = maximum;
    engineData = data;
    queueVirtualWrite = queueWrite;
    hpcSend = send;
    isHpc = hpc;
}

std::string VirtualChannelICA::Execute(const std::string& command) {
    return session.Execute(command);
}

void VirtualChannelICA::Submit(const std::string& command) {
    session.Submit(command);
}

void VirtualChannelICA::Keep(const std::string&, const std::string& response) {
    std::lock_guard<platform::Mutex> lock(responseLock);
    pendingResponse = std::make_shared<std::string>(response);
    if (responseReady) responseReady();
}

void VirtualChannelICA::OnResponseReady(std::function<void()> notice) {
    std::lock_guard<platform::Mutex> lock(responseLock);
    responseReady = std::move(notice);
}

bool VirtualChannelICA::HasPendingResponse() const {
    std::lock_guard<platform::Mutex> lock(responseLock);
    return pendingResponse != nullptr;
}

ica::EngineStatus VirtualChannelICA::SendPendingResponse() {
    std::unique_lock<platform::Mutex> lock(responseLock);
    if (!pendingResponse) {
        diag::LogDetail("Virtual channel  - No pending response");
        return ica::kStatusNoData;
    }
    diag::LogDetail("Virtual channel  - Pending response: \"", diag::Shown{*pendingResponse}, "\"");

    // Cut to 16 bits the HPC length would send a truncated response that
    // still looks whole. A queued write is taken whole or refused whole, and
    // the engine keeps one byte of its maximum for the channel number; a
    // refusal other than 1016 returned from the poll ends the user's session.
    // Either way, a response that cannot travel is replaced by a short
    // failure before it is offered.
    const std::size_t usable = maximumWrite >= 2 ? maximumWrite - 1u : 0u;
    const std::size_t longest = isHpc ? kMaximumHpcResponse : usable > 0 ? usable : pendingResponse->size();
    if (pendingResponse->size() > longest)
        pendingResponse = std::make_shared<std::string>(ResponseThatFits(
            *pendingResponse, longest,
            isHpc ? std::string("HPC") : "the engine's writes of at most " + std::to_string(usable) + " bytes"));

    // The engine reads the bytes until the pending text is cleared or replaced.
    outSection.bytes = reinterpret_cast<std::uint8_t*>(&(*pendingResponse)[0]);
    outSection.length = static_cast<std::uint32_t>(pendingResponse->size());

    // The engine is called with no lock of ours held (a command that arrives
    // meanwhile replaces the pending text; these bytes stay until the call returns).
    const std::shared_ptr<std::string> sending = pendingResponse;
    const bool hpc = isHpc;
    void* const data = engineData;
    const std::uint16_t channel = dataChannel;
    const ica::HpcSendProc send = hpcSend;
    const ica::QueueVirtualWriteProc queueWrite = queueVirtualWrite;
    lock.unlock();
    if (hpc) {
        diag::LogDetail("  Send HPC");
        if (send == nullptr) return kNotConnected;
        return send(data, channel, outSection.bytes, static_cast<std::uint16_t>(outSection.length),
                    &outSection.bytes, 1);
    }
    diag::LogDetail("  Post response for sending");
    if (queueWrite == nullptr) return kNotConnected;
    return queueWrite(data, channel, &outSection, 1, 0);
}

std::string VirtualChannelICA::GetResponse() {
    std::lock_guard<platform::Mutex> lock(responseLock);
    if (!pendingResponse) {
        diag::LogDetail("GetResponse - No pending response");
        return std::string();
    }
    return *pendingResponse;
}

void VirtualChannelICA::ClearResponse() {
    diag::LogDetail("Clear response buffer");
    std::lock_guard<platform::Mutex> lock(responseLock);
    pendingResponse.reset();
}

namespace {
// Constructed when the module is loaded (its constructor writes the first log
// line of the process), destroyed when it is unloaded.
VirtualChannelICA theVirtualChannel;
}  // namespace

VirtualChannelICA& GetVirtualChannel() {
    return theVirtualChannel;
}

}  // namespace relay
