#include "driver/HostProtocol.h"

#include <cstring>

namespace driverhost {

namespace {

// Frame: u32 whole length, u32 kind, then the kind's fields.
enum Kind : std::uint32_t { kSetUp = 1, kHandshake = 2, kRequest = 3, kAnswer = 4 };

class Writer {
public:
    Writer(std::vector<std::uint8_t>* frame, Kind kind) : frame_(frame), start_(frame->size()) {
        U32(0);  // the length, filled in by the destructor
        U32(kind);
    }
    ~Writer() {
        const std::uint32_t length = static_cast<std::uint32_t>(frame_->size() - start_);
        for (int i = 0; i < 4; ++i) (*frame_)[start_ + i] = std::uint8_t(length >> (8 * i));
    }
    void U32(std::uint32_t value) {
        for (int i = 0; i < 4; ++i) frame_->push_back(std::uint8_t(value >> (8 * i)));
    }
    void U64(std::uint64_t value) {
        U32(std::uint32_t(value));
        U32(std::uint32_t(value >> 32));
    }
    void Real(float value) {
        std::uint32_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        U32(bits);
    }
    void Bytes(const std::string& text) { frame_->insert(frame_->end(), text.begin(), text.end()); }

private:
    std::vector<std::uint8_t>* frame_;
    std::size_t start_;
};

// Reads fields in order; any read past the end fails the whole frame.
class Reader {
public:
    Reader(const std::uint8_t* bytes, std::size_t size, Kind kind) : bytes_(bytes), size_(size) {
        std::uint32_t length = 0, frameKind = 0;
        ok_ = bytes != nullptr && U32(&length) && length == size && U32(&frameKind) &&
              frameKind == kind;
    }
    bool ok() const { return ok_; }
    bool U32(std::uint32_t* value) {
        if (!Take(4)) return false;
        *value = 0;
        for (int i = 0; i < 4; ++i) *value |= std::uint32_t(bytes_[at_ - 4 + i]) << (8 * i);
        return true;
    }
    bool U64(std::uint64_t* value) {
        std::uint32_t low = 0, high = 0;
        if (!U32(&low) || !U32(&high)) return false;
        *value = low | std::uint64_t(high) << 32;
        return true;
    }
    bool I32(std::int32_t* value) {
        std::uint32_t bits = 0;
        if (!U32(&bits)) return false;
        *value = static_cast<std::int32_t>(bits);
        return true;
    }
    bool Real(float* value) {
        std::uint32_t bits = 0;
        if (!U32(&bits)) return false;
        std::memcpy(value, &bits, sizeof bits);
        return true;
    }
    bool Bytes(std::uint32_t length, std::string* text) {
        if (!Take(length)) return false;
        text->assign(reinterpret_cast<const char*>(bytes_ + at_ - length), length);
        return true;
    }
    bool AtEnd() const { return ok_ && at_ == size_; }

private:
    bool Take(std::size_t count) {
        if (!ok_) return false;
        if (count > size_ - at_) return ok_ = false;
        at_ += count;
        return true;
    }

    const std::uint8_t* bytes_;
    std::size_t size_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

bool KnownConvention(std::uint32_t value) {
    return value <= std::uint32_t(Convention::Stdcall);
}

}  // namespace

namespace {
std::uint32_t* StateWord(std::uint8_t* section) {
    return reinterpret_cast<std::uint32_t*>(section + kStateOffset);
}
constexpr std::uint32_t Value(ExchangeState state) { return std::uint32_t(state); }
}  // namespace

void BeginExchange(std::uint8_t* section) {
    __atomic_store_n(StateWord(section), Value(ExchangeState::Waiting), __ATOMIC_SEQ_CST);
}

bool AnswerPosted(const std::uint8_t* section) {
    return __atomic_load_n(StateWord(const_cast<std::uint8_t*>(section)), __ATOMIC_ACQUIRE) ==
           Value(ExchangeState::Answered);
}

bool SettleBlocking(std::uint8_t* section) {
    std::uint32_t expected = Value(ExchangeState::Waiting);
    return __atomic_compare_exchange_n(StateWord(section), &expected,
                                       Value(ExchangeState::Blocking), false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST) ||
           expected != Value(ExchangeState::Answered);
}

bool PostAnswer(std::uint8_t* section) {
    return __atomic_exchange_n(StateWord(section), Value(ExchangeState::Answered),
                               __ATOMIC_SEQ_CST) != Value(ExchangeState::Waiting);
}

std::size_t ClaimedLength(const std::uint8_t* bytes, std::size_t available) {
    if (available < 4) return 0;
    return std::size_t(bytes[0]) | std::size_t(bytes[1]) << 8 | std::size_t(bytes[2]) << 16 |
           std::size_t(bytes[3]) << 24;
}

void Encode(const SetUp& setUp, std::vector<std::uint8_t>* frame) {
    Writer w(frame, kSetUp);
    w.U32(kMagic);
    w.U32(kProtocolVersion);
    w.U64(setUp.section);
    w.U64(setUp.requestEvent);
    w.U64(setUp.answerEvent);
    w.U32(setUp.sectionSize);
    w.U32(std::uint32_t(setUp.library.size()));
    w.Bytes(setUp.library);
}

bool Decode(const std::uint8_t* bytes, std::size_t size, SetUp* setUp) {
    Reader r(bytes, size, kSetUp);
    std::uint32_t magic = 0, version = 0, length = 0;
    return r.ok() && r.U32(&magic) && magic == kMagic && r.U32(&version) &&
           version == kProtocolVersion && r.U64(&setUp->section) && r.U64(&setUp->requestEvent) &&
           r.U64(&setUp->answerEvent) && r.U32(&setUp->sectionSize) &&
           setUp->sectionSize == kSectionSize && r.U32(&length) && length <= kMaximumPath &&
           r.Bytes(length, &setUp->library) && r.AtEnd();
}

void Encode(const Handshake& handshake, std::vector<std::uint8_t>* frame) {
    Writer w(frame, kHandshake);
    w.U32(kMagic);
    w.U32(kProtocolVersion);
    w.U32(handshake.bitness);
    w.U32(handshake.loadError);
    w.U32(handshake.decoratedNames);
    w.U32(std::uint32_t(handshake.convention));
}

bool Decode(const std::uint8_t* bytes, std::size_t size, Handshake* handshake) {
    Reader r(bytes, size, kHandshake);
    std::uint32_t magic = 0, version = 0, convention = 0;
    if (!(r.ok() && r.U32(&magic) && magic == kMagic && r.U32(&version) &&
          version == kProtocolVersion && r.U32(&handshake->bitness) &&
          r.U32(&handshake->loadError) && r.U32(&handshake->decoratedNames) &&
          r.U32(&convention) && r.AtEnd()))
        return false;
    if (handshake->bitness != 32 && handshake->bitness != 64) return false;
    if (handshake->decoratedNames > 1 || !KnownConvention(convention)) return false;
    handshake->convention = Convention(convention);
    return true;
}

void Encode(const Request& request, std::vector<std::uint8_t>* frame) {
    Writer w(frame, kRequest);
    w.U32(std::uint32_t(request.operation));
    w.U32(request.entry);
    w.U32(request.numberCount);
    w.U32(std::uint32_t(request.numbers[0]));
    w.U32(std::uint32_t(request.numbers[1]));
    w.U32(request.textCount);
    for (std::uint32_t i = 0; i < 2; ++i)
        w.U32(i < request.textCount ? std::uint32_t(request.texts[i].size()) : 0);
    for (std::uint32_t i = 0; i < request.textCount && i < 2; ++i) w.Bytes(request.texts[i]);
}

bool Decode(const std::uint8_t* bytes, std::size_t size, Request* request) {
    Reader r(bytes, size, kRequest);
    std::uint32_t operation = 0, lengths[2] = {0, 0};
    if (!(r.ok() && r.U32(&operation) && r.U32(&request->entry) &&
          r.U32(&request->numberCount) && r.I32(&request->numbers[0]) &&
          r.I32(&request->numbers[1]) && r.U32(&request->textCount) && r.U32(&lengths[0]) &&
          r.U32(&lengths[1])))
        return false;
    if (operation < std::uint32_t(Operation::Call) || operation > std::uint32_t(Operation::Unload))
        return false;
    request->operation = Operation(operation);
    if (request->entry >= kEntryCount || request->numberCount > 2 || request->textCount > 2)
        return false;
    for (std::uint32_t i = 0; i < 2; ++i) {
        if (i >= request->textCount && lengths[i] != 0) return false;
        if (!r.Bytes(lengths[i], &request->texts[i])) return false;
    }
    return r.AtEnd();
}

void Encode(const Answer& answer, std::vector<std::uint8_t>* frame) {
    Writer w(frame, kAnswer);
    w.U32(std::uint32_t(answer.status));
    w.U32(std::uint32_t(answer.convention));
    w.U32(answer.stackBytes);
    w.U32(answer.word);
    w.Real(answer.real);
    for (float value : answer.spectrum) w.Real(value);
    w.U32(answer.hasText ? 1 : 0);
    w.U32(std::uint32_t(answer.text.size()));
    w.Bytes(answer.text);
}

void EncodeToFit(Answer answer, std::vector<std::uint8_t>* frame) {
    frame->clear();
    Encode(answer, frame);
    if (frame->size() <= kAnswerArea) return;
    answer.status = AnswerStatus::TextTooLong;
    answer.hasText = false;
    answer.text.clear();
    frame->clear();
    Encode(answer, frame);
}

bool Decode(const std::uint8_t* bytes, std::size_t size, Answer* answer) {
    Reader r(bytes, size, kAnswer);
    std::uint32_t status = 0, convention = 0, hasText = 0, length = 0;
    if (!(r.ok() && r.U32(&status) && r.U32(&convention) && r.U32(&answer->stackBytes) &&
          r.U32(&answer->word) &&
          r.Real(&answer->real)))
        return false;
    for (float& value : answer->spectrum)
        if (!r.Real(&value)) return false;
    if (!(r.U32(&hasText) && r.U32(&length) && r.Bytes(length, &answer->text) && r.AtEnd()))
        return false;
    if (status > std::uint32_t(AnswerStatus::Refused) || !KnownConvention(convention) || hasText > 1)
        return false;
    if (!hasText && length != 0) return false;
    answer->status = AnswerStatus(status);
    answer->convention = Convention(convention);
    answer->hasText = hasText == 1;
    return true;
}

}  // namespace driverhost
