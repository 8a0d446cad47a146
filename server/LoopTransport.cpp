// The local loop: kestav-host --listen on this PC.
#include "platform/Pipe.h"
#include "server/KestavChannel.h"
#include "server/LoopClient.h"
#include "server/Transport.h"

namespace kestav {
namespace detail {

namespace {

int StatusOf(loop::LoopClient::Status status) {
    switch (status) {
        case loop::LoopClient::Status::Done:
            return KESTAV_OK;
        case loop::LoopClient::Status::TimedOut:
            return KESTAV_TIMEOUT;
        case loop::LoopClient::Status::TooLong:
            return KESTAV_WRITE_REFUSED;
        case loop::LoopClient::Status::NoChannel:
            return KESTAV_CHANNEL_BLOCKED;
        case loop::LoopClient::Status::Busy:
            return KESTAV_LOOP_BUSY;
        case loop::LoopClient::Status::NoListener:
        case loop::LoopClient::Status::NotOwnLoop:
            return KESTAV_NO_TRANSPORT;
        default:
            return KESTAV_DISCONNECTED;
    }
}

class LoopTransport final : public Transport {
public:
    LoopTransport(std::string name, std::uint32_t timeoutMs) : name_(std::move(name)), timeoutMs_(timeoutMs) {}
    const char* Name() const override { return "local loop"; }

    int Connect(std::string* error) {
        loop::LoopClient::Status status;
        std::string reason;
        if (!platform::kPipesAvailable) {
            *error = "the local loop is a Windows one (kestav-host --listen, named pipes): here, run the "
                     "program in an xrdp session of a client with the Kestav add-in (xfreerdp /dvc:kestav) "
                     "and open it with KESTAV_TRANSPORT_REMOTE_DESKTOP";
            return KESTAV_NO_TRANSPORT;
        }
        client_ = loop::LoopClient::Connect(name_, timeoutMs_, &status, &reason);
        if (client_ != nullptr) return KESTAV_OK;
        *error = status == loop::LoopClient::Status::Busy
                     ? "the local loop \"" + name_ + "\" is busy: " + reason
                 : status == loop::LoopClient::Status::NotOwnLoop
                     ? "the local loop \"" + name_ + "\" is not served by this user: refused"
                     : "no local loop \"" + name_ + "\" on this PC: start kestav-host --listen" +
                           (name_ == loop::kDefaultName ? std::string() : " " + name_);
        return StatusOf(status);
    }

    int Write(const std::string& command, std::string* error) override {
        // A listener that was restarted meanwhile is another client: the
        // channel connects again on its own call, and says so.
        if (!client_->Connected()) {
            *error = "the local loop ended";
            return KESTAV_DISCONNECTED;
        }
        const int status = StatusOf(client_->Write(loop::Channel::Command, command));
        if (status == KESTAV_WRITE_REFUSED)
            *error = "the engine refused a write of " + std::to_string(command.size()) +
                     " bytes (at most " + std::to_string(client_->Welcome().maximumPacket) + ")";
        else if (status != KESTAV_OK)
            *error = "the local loop ended";
        return status;
    }

    int Read(std::uint32_t timeoutMs, std::string* response, std::string* error) override {
        const int status = StatusOf(client_->Read(loop::Channel::Data, timeoutMs, response));
        if (status == KESTAV_DISCONNECTED) *error = "the local loop ended";
        return status;
    }

    int Purge(std::uint32_t, std::string*) override {
        if (client_->Connected()) client_->Purge(loop::Channel::Data);
        return KESTAV_OK;
    }

private:
    std::string name_;
    std::uint32_t timeoutMs_;
    std::unique_ptr<loop::LoopClient> client_;
};

}  // namespace

std::unique_ptr<Transport> OpenLoop(const std::string& name, std::uint32_t timeoutMs, int* status,
                                    std::string* error) {
    auto transport = std::make_unique<LoopTransport>(name, timeoutMs);
    *status = transport->Connect(error);
    if (*status != KESTAV_OK) return nullptr;
    return transport;
}

}  // namespace detail
}  // namespace kestav
