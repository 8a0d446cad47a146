// Remote Desktop: the dynamic channels KstCmd1 (commands) and KstDta1
// (responses) of this program's session, which the client's Kestav plug-in
// listens for. Responses arrive in chunks and are joined here: by their
// headers on Windows, by StreamResponse in an xrdp session.
#include <chrono>
#include <vector>

#include "platform/DynamicChannel.h"
#include "platform/Session.h"
#include "server/ChunkReassembly.h"
#include "server/StreamReassembly.h"
#include "server/KestavChannel.h"
#include "server/LoopProtocol.h"
#include "server/Transport.h"

namespace kestav {
namespace detail {

namespace {

class RemoteDesktopTransport final : public Transport {
public:
    RemoteDesktopTransport() : joiner_(KESTAV_LONGEST_RESPONSE), stream_(KESTAV_LONGEST_RESPONSE) {}
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
                     "): is the Kestav plug-in registered on the client (kestav-check there)?";
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
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        std::vector<std::uint8_t> chunk;
        bool begun = false;  // of a response without chunk headers
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            const platform::ChunkWait waited =
                platform::DynamicChannelRead(data_, left.count() > 0 ? std::uint32_t(left.count()) : 0, &chunk);
            if (waited == platform::ChunkWait::TimedOut) return KESTAV_TIMEOUT;
            if (waited == platform::ChunkWait::Closed) {
                *error = "the Remote Desktop channel closed";
                return KESTAV_DISCONNECTED;
            }
            if (platform::kChunkHeaders) {
                std::string problem;
                // A message that does not add up is dropped; the wait goes on for a whole one.
                if (joiner_.Feed(chunk.data(), chunk.size(), response, &problem) ==
                    ChunkReassembler::Result::Message)
                    return KESTAV_OK;
                continue;
            }
            const std::string piece(chunk.begin(), chunk.end());
            StreamResponse::Result result =
                begun ? stream_.Next(piece, response) : stream_.First(piece, response);
            begun = true;
            if (result == StreamResponse::Result::NeedMarker) {
                const int written = Write(stream_.Marker(), error);
                if (written != KESTAV_OK) return written;
                result = StreamResponse::Result::NeedMore;
            }
            if (result == StreamResponse::Result::Message) return KESTAV_OK;
            if (result == StreamResponse::Result::TooLong) {
                *error = "a response longer than any the module sends";
                return KESTAV_DISCONNECTED;
            }
        }
    }

    void Purge() override {
        joiner_.Reset();
        std::vector<std::uint8_t> chunk;
        while (platform::DynamicChannelRead(data_, 0, &chunk) == platform::ChunkWait::Done) {
        }
    }

private:
    platform::DynamicChannel* command_ = nullptr;
    platform::DynamicChannel* data_ = nullptr;
    ChunkReassembler joiner_;
    StreamResponse stream_;
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
