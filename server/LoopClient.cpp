#include "server/LoopClient.h"

#include <chrono>
#include "platform/Environment.h"

namespace loop {

namespace {
constexpr std::uint32_t kAnswerMs = 30000;  // the listener answers a write at once
}

std::string NameFromEnvironment() {
    const std::string name = platform::GetEnvironment(kNameVariable);
    return name.empty() ? kDefaultName : name;
}

LoopClient::LoopClient(platform::Pipe* pipe) : pipe_(pipe) {}

std::unique_ptr<LoopClient> LoopClient::Connect(const std::string& name, std::uint32_t timeoutMs,
                                                Status* status, std::string* reason) {
    std::uint32_t error = 0;
    platform::Pipe* pipe = platform::ConnectPipe(PipeName(name), timeoutMs, &error);
    if (pipe == nullptr) {
        *status = Status::NoListener;
        return nullptr;
    }
    if (!platform::PipeServerIsCurrentUser(pipe)) {
        // Nothing is sent to it, and nothing it says is believed.
        platform::ClosePipe(pipe);
        *status = Status::NotOwnLoop;
        return nullptr;
    }
    std::vector<std::uint8_t> message;
    Frame first;
    if (platform::PipeReceive(pipe, &message, timeoutMs, kLongestFrame) != platform::PipeWait::Done ||
        !Decode(message.data(), message.size(), &first) ||
        (first.kind != Kind::Welcome && first.kind != Kind::Busy)) {
        platform::ClosePipe(pipe);
        *status = Status::NoListener;
        return nullptr;
    }
    if (first.kind == Kind::Busy) {
        platform::ClosePipe(pipe);
        *status = Status::Busy;
        *reason = first.bytes;
        return nullptr;
    }
    std::unique_ptr<LoopClient> client(new LoopClient(pipe));
    client->welcome_ = first;
    client->reader_ = std::thread([raw = client.get()] { raw->ReadPipe(); });
    *status = Status::Done;
    return client;
}

LoopClient::~LoopClient() {
    platform::InterruptPipe(pipe_);
    if (reader_.joinable()) reader_.join();
    platform::ClosePipe(pipe_);
}

bool LoopClient::Connected() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !closed_;
}

void LoopClient::ReadPipe() {
    std::vector<std::uint8_t> message;
    for (;;) {
        const platform::PipeWait waited = platform::PipeReceive(pipe_, &message, 0xFFFFFFFF, kLongestFrame);
        Frame frame;
        const bool ok = waited == platform::PipeWait::Done &&
                        Decode(message.data(), message.size(), &frame);
        std::lock_guard<std::mutex> lock(mutex_);
        if (!ok) {
            closed_ = true;  // the listener went, or said what no listener says
            arrived_.notify_all();
            return;
        }
        if (frame.kind == Kind::Packet)
            packets_[std::size_t(frame.channel)].push_back(std::move(frame.bytes));
        else
            reply_ = std::move(frame);
        arrived_.notify_all();
    }
}

LoopClient::Status LoopClient::Ask(const Frame& frame, Kind answer, Frame* reply) {
    std::lock_guard<std::mutex> one(askLock_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return Status::Disconnected;
        reply_.reset();
    }
    std::vector<std::uint8_t> message;
    Encode(frame, &message);
    if (!platform::PipeSend(pipe_, message)) return Status::Disconnected;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!arrived_.wait_for(lock, std::chrono::milliseconds(kAnswerMs),
                           [this] { return closed_ || reply_.has_value(); }))
        return Status::TimedOut;
    if (!reply_ || reply_->kind != answer) return Status::Disconnected;
    *reply = *reply_;
    return Status::Done;
}

LoopClient::Status LoopClient::Write(Channel channel, const std::string& bytes) {
    if (bytes.size() > kMaximumWrite) return Status::TooLong;
    Frame frame;
    frame.kind = Kind::Write;
    frame.channel = channel;
    frame.bytes = bytes;
    Frame reply;
    const Status status = Ask(frame, Kind::Written, &reply);
    if (status != Status::Done) return status;
    switch (reply.status) {
        case WriteStatus::Done:
            return Status::Done;
        case WriteStatus::TooLong:
            return Status::TooLong;
        default:
            return Status::NoChannel;
    }
}

LoopClient::Status LoopClient::Read(Channel channel, std::uint32_t timeoutMs, std::string* packet) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::deque<std::string>& queue = packets_[std::size_t(channel)];
    const auto ready = [&] { return closed_ || !queue.empty(); };
    if (timeoutMs == 0xFFFFFFFF)
        arrived_.wait(lock, ready);
    else
        arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    if (!queue.empty()) {
        *packet = std::move(queue.front());
        queue.pop_front();
        return Status::Done;
    }
    return closed_ ? Status::Disconnected : Status::TimedOut;
}

void LoopClient::Purge(Channel channel) {
    std::lock_guard<std::mutex> lock(mutex_);
    packets_[std::size_t(channel)].clear();
}

LoopClient::Status LoopClient::Query(Channel channel, std::string* data) {
    Frame frame;
    frame.kind = Kind::Query;
    frame.channel = channel;
    Frame reply;
    const Status status = Ask(frame, Kind::Queried, &reply);
    if (status == Status::Done) *data = reply.bytes;
    return status;
}

}  // namespace loop
