// Remote Desktop: the channels KstCmd1 (commands) and KstDta1 (responses)
// of this program's session, dynamic ones (which the client's Kestav
// plug-in listens for) or static ones (which the client's static plug-in
// registers: Horizon's VC bridge, mstsc, FreeRDP's /vc:kestav, xrdp.ini's
// list). Responses arrive in chunks and are joined by ResponseReader: by
// their headers where the channel gives them, else as a stream.
#include "platform/SessionChannel.h"
#include "platform/Session.h"
#include "server/KestavChannel.h"
#include "server/LoopProtocol.h"
#include "server/ResponseReader.h"
#include "server/Transport.h"

namespace kestav {
namespace detail {

const char* const kStaticCauses =
    "a static channel needs the client's static plug-in (Windows clients and Horizon: the Kestav MSI "
    "registers it; FreeRDP: the add-in and /vc:kestav, xfreerdp /vc:kestav or xfreerdp3 /vc:kestav) and, on "
    "xrdp, KstCmd1 and KstDta1 listed under [Channels] in xrdp.ini (a channel it does not list opens and "
    "carries nothing); kestav-check on the client tells";

namespace {

class RemoteDesktopTransport final : public Transport, private ChannelEnds {
public:
    explicit RemoteDesktopTransport(bool dynamic) : dynamic_(dynamic) {}
    ~RemoteDesktopTransport() override {
        if (command_ != nullptr) platform::CloseSessionChannel(command_);
        if (data_ != nullptr) platform::CloseSessionChannel(data_);
    }
    const char* Name() const override { return dynamic_ ? "Remote Desktop" : "Remote Desktop static"; }

    int Open(std::string* error) {
        const char* const kind = dynamic_ ? "dynamic" : "static";
        for (auto [channel, handle] : {std::make_pair(loop::Channel::Command, &command_),
                                       std::make_pair(loop::Channel::Data, &data_)}) {
            std::uint32_t code = 0;
            *handle = dynamic_ ? platform::OpenDynamicChannel(loop::ChannelName(channel), &code)
                               : platform::OpenStaticChannel(loop::ChannelName(channel), &code);
            if (*handle != nullptr) continue;
            if (platform::SessionProtocol() != 2) {
                *error = "this program does not run in a Remote Desktop session (the " + std::string(kind) +
                         " channel " + loop::ChannelName(channel) + " cannot be opened: error " +
                         std::to_string(code) + ")";
                return KESTAV_NO_SESSION;
            }
            *error = "the " + std::string(kind) + " channel " + loop::ChannelName(channel) +
                     " cannot be opened (error " + std::to_string(code) + "): " +
                     (dynamic_ ? "does the user's client load the Kestav module? A Windows client needs the "
                                 "plug-in registered, a FreeRDP client the add-in and /dvc:kestav (xfreerdp "
                                 "/dvc:kestav, xfreerdp3 /dvc:kestav); kestav-check on the client tells"
                               : kStaticCauses);
            return KESTAV_CHANNEL_BLOCKED;
        }
        ChannelEnds& ends = *this;
        reader_ = std::make_unique<ResponseReader>(ends, platform::ChunkHeaders(data_), KESTAV_LONGEST_RESPONSE);
        return KESTAV_OK;
    }

    int Write(const std::string& command, std::string* error) override {
        if (platform::kLongestWholeWrite != 0 && command.size() > platform::kLongestWholeWrite) {
            *error = "the command is " + std::to_string(command.size()) + " bytes: xrdp passes at most " +
                     std::to_string(platform::kLongestWholeWrite) + " to the client as one message";
            return KESTAV_WRITE_REFUSED;
        }
        std::uint32_t code = 0;
        if (platform::SessionChannelWrite(command_, command, &code)) return KESTAV_OK;
        *error = "WTSVirtualChannelWrite failed (error " + std::to_string(code) + ")";
        return KESTAV_DISCONNECTED;
    }

    int Read(std::uint32_t timeoutMs, std::string* response, std::string* error) override {
        return reader_->Read(timeoutMs, response, error);
    }

    int Purge(std::uint32_t timeoutMs, std::string* error) override { return reader_->Purge(timeoutMs, error); }

private:
    platform::ChunkWait Read(std::uint32_t timeoutMs, std::vector<std::uint8_t>* chunk) override {
        return platform::SessionChannelRead(data_, timeoutMs, chunk);
    }

    const bool dynamic_;
    platform::SessionChannel* command_ = nullptr;
    platform::SessionChannel* data_ = nullptr;
    std::unique_ptr<ResponseReader> reader_;  // once the channels are open
};

}  // namespace

std::unique_ptr<Transport> OpenRemoteDesktop(bool dynamic, int* status, std::string* error) {
    auto transport = std::make_unique<RemoteDesktopTransport>(dynamic);
    *status = transport->Open(error);
    if (*status != KESTAV_OK) return nullptr;
    return transport;
}

}  // namespace detail
}  // namespace kestav
