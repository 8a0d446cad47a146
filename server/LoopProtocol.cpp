#include "server/LoopProtocol.h"

#include "platform/Names.h"
#include "platform/Session.h"

namespace loop {

std::string PipeName(const std::string& name) {
    return kPipePrefix + std::to_string(platform::SessionNumber()) + "-" + name;
}

namespace {
void U32(std::vector<std::uint8_t>* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out->push_back(std::uint8_t(value >> (8 * i)));
}
bool TakeU32(const std::uint8_t* bytes, std::size_t size, std::size_t* at, std::uint32_t* value) {
    if (size - *at < 4) return false;
    *value = 0;
    for (int i = 0; i < 4; ++i) *value |= std::uint32_t(bytes[*at + i]) << (8 * i);
    *at += 4;
    return true;
}
bool HasChannel(Kind kind) {
    return kind == Kind::Write || kind == Kind::Written || kind == Kind::Packet || kind == Kind::Query;
}
bool HasBytes(Kind kind) {
    return kind == Kind::Busy || kind == Kind::Write || kind == Kind::Packet || kind == Kind::Queried;
}
}  // namespace

bool ChannelOf(const std::string& name, Channel* channel) {
    if (name == names::kCommandChannel) *channel = Channel::Command;
    else if (name == names::kDataChannel) *channel = Channel::Data;
    else return false;
    return true;
}

const char* ChannelName(Channel channel) {
    return channel == Channel::Command ? names::kCommandChannel : names::kDataChannel;
}

void Encode(const Frame& frame, std::vector<std::uint8_t>* out) {
    out->clear();
    out->push_back(std::uint8_t(frame.kind));
    if (HasChannel(frame.kind)) out->push_back(std::uint8_t(frame.channel));
    if (frame.kind == Kind::Welcome) {
        U32(out, frame.version);
        U32(out, frame.maximumPacket);
        out->push_back(frame.hpc);
    }
    if (frame.kind == Kind::Written) U32(out, std::uint32_t(frame.status));
    if (HasBytes(frame.kind)) out->insert(out->end(), frame.bytes.begin(), frame.bytes.end());
}

bool Decode(const std::uint8_t* bytes, std::size_t size, Frame* frame) {
    if (bytes == nullptr || size == 0) return false;
    const std::uint8_t kind = bytes[0];
    if (kind < std::uint8_t(Kind::Welcome) || kind > std::uint8_t(Kind::Queried)) return false;
    *frame = Frame();
    frame->kind = Kind(kind);
    std::size_t at = 1;
    if (HasChannel(frame->kind)) {
        if (size - at < 1 || bytes[at] > std::uint8_t(Channel::Data)) return false;
        frame->channel = Channel(bytes[at++]);
    }
    if (frame->kind == Kind::Welcome) {
        if (!TakeU32(bytes, size, &at, &frame->version) ||
            !TakeU32(bytes, size, &at, &frame->maximumPacket) || size - at < 1 || bytes[at] > 1)
            return false;
        frame->hpc = bytes[at++];
    }
    if (frame->kind == Kind::Written) {
        std::uint32_t status = 0;
        if (!TakeU32(bytes, size, &at, &status) || status > std::uint32_t(WriteStatus::NoChannel))
            return false;
        frame->status = WriteStatus(status);
    }
    if (HasBytes(frame->kind)) {
        const std::size_t length = size - at;
        const std::size_t limit = frame->kind == Kind::Write ? kMaximumWrite
                                  : frame->kind == Kind::Packet ? kMaximumPacket
                                                                : 64 * 1024;
        if (length > limit) return false;
        frame->bytes.assign(reinterpret_cast<const char*>(bytes + at), length);
        at = size;
    }
    return at == size;
}

}  // namespace loop
