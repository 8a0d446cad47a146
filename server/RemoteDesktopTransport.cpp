// Remote Desktop: the dynamic channels KstCmd1 (commands) and KstDta1
// (responses) of this program's session, which the client's Kestav plug-in
// listens for. Responses arrive in chunks and are joined by ResponseReader:
// by their headers on Windows, as a stream in an xrdp session.
#include "platform/DynamicChannel.h"
#include "platform/Session.h"
#include "server/KestavChannel.h"
#include "server/LoopProtocol.h"
#include "server/ResponseReader.h"
#include "server/Transport.h"

namespace kestav {
namespace detail {

namespace {

class RemoteDesktopTransport final : public Transport, private ChannelEnds {
public:
    RemoteDesktopTransport() : reader_(*this, platform::kChunkHeaders, KESTAV_LONGEST_RESPONSE) {}
    ~RemoteDesktopTransport() override {
        if (command_ != nullptr) platform::CloseDynamicChannel(command_);
        if (data_ != nullptr) platform::CloseDynamicChannel(data_);
    }
    const char* Name() const override { return "Remote Desktop"; }

    int Open(std::string* error) {
        for (auto [channel, handle] : {std::make_pair(loop::Channel::Command, &command_),
                                       std::make_pair(loop::Channel::Data, &data_)}) {
            std::uint32_t code = 0;
            *handle = platform::OpenDynamicChannel(loop::ChannelName(channel), &code);
            if (*handle != nullptr) continue;
            if (platform::SessionProtocol() != 2) {
                *error = "this program does not run in a Remote Desktop session (the dynamic channel " +
                         std::string(loop::ChannelName(channel)) + " cannot be opened: error " +
                         std::to_string(code) + ")";
                return KESTAV_NO_SESSION;
            }
            *error = "the dynamic channel " + std::string(loop::ChannelName(channel)) +
                     " cannot be opened (error " + std::to_string(code) +
                     "): does the user's client load the Kestav module? A Windows client needs the plug-in "
                     "registered, a FreeRDP client the add-in and /dvc:kestav (xfreerdp /dvc:kestav, xfreerdp3 "
                     "/dvc:kestav); kestav-check on the client tells";
            return KESTAV_CHANNEL_BLOCKED;
        }
        return KESTAV_OK;
    }

    int Write(const std::string& command, std::string* error) override {
        if (!platform::kChunkHeaders && command.size() > kStreamLongestWrite) {
            *error = "the command is " + std::to_string(command.size()) + " bytes: xrdp passes at most " +
                     std::to_string(kStreamLongestWrite) + " to the client as one message";
            return KESTAV_WRITE_REFUSED;
        }
        std::uint32_t code = 0;
        if (platform::DynamicChannelWrite(command_, command, &code)) return KESTAV_OK;
        *error = "WTSVirtualChannelWrite failed (error " + std::to_string(code) + ")";
        return KESTAV_DISCONNECTED;
    }

    int Read(std::uint32_t timeoutMs, std::string* response, std::string* error) override {
        return reader_.Read(timeoutMs, response, error);
    }

    int Purge(std::uint32_t timeoutMs, std::string* error) override { return reader_.Purge(timeoutMs, error); }

private:
    platform::ChunkWait Read(std::uint32_t timeoutMs, std::vector<std::uint8_t>* chunk) override {
        return platform::DynamicChannelRead(data_, timeoutMs, chunk);
    }

    platform::DynamicChannel* command_ = nullptr;
    platform::DynamicChannel* data_ = nullptr;
    ResponseReader reader_;
};

}  // namespace

std::unique_ptr<Transport> OpenRemoteDesktop(int* status, std::string* error) {
    auto transport = std::make_unique<RemoteDesktopTransport>();
    *status = transport->Open(error);
    if (*status != KESTAV_OK) return nullptr;
    return transport;
}

}  // namespace detail
}  // namespace kestav
