// The frames the module and the driver host exchange: whatever arrives is
// either a whole, sound frame of the kind expected, or refused.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "driver/HostProtocol.h"

using namespace driverhost;

namespace {

using Frame = std::vector<std::uint8_t>;

template <typename Record>
Frame Encoded(const Record& record) {
    Frame frame;
    Encode(record, &frame);
    return frame;
}

template <typename Record>
bool Decodes(const Frame& frame) {
    Record record;
    return Decode(frame.data(), frame.size(), &record);
}

// A field at `offset` (bytes, little-endian u32) set to `value`.
Frame With(Frame frame, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) frame[offset + i] = std::uint8_t(value >> (8 * i));
    return frame;
}

SetUp ASetUp() {
    SetUp setUp;
    setUp.section = 0x1234;
    setUp.requestEvent = 0x88;
    setUp.answerEvent = 0x8C;
    setUp.sectionSize = std::uint32_t(kSectionSize);
    setUp.library = "C:\\Client\\drivers\\Kestav\\sim.dll";
    return setUp;
}

Request ARequest() {
    Request request;
    request.entry = 27;  // SetOption
    request.textCount = 2;
    request.texts[0] = "Filter";
    request.texts[1] = "M2|UV cut";
    return request;
}

Answer AnAnswer() {
    Answer answer;
    answer.convention = Convention::Stdcall;
    answer.word = 7;
    answer.hasText = true;
    answer.text = "KSIM-000417";
    return answer;
}

// Every frame, one byte short (and every shorter prefix), is refused; whole,
// it decodes; one byte more, it is refused too.
template <typename Record>
void ExpectOnlyTheWholeFrameDecodes(const Frame& frame) {
    ASSERT_TRUE(Decodes<Record>(frame));
    for (std::size_t size = 0; size < frame.size(); ++size) {
        Frame shorter(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(size));
        if (size >= 4) shorter = With(shorter, 0, std::uint32_t(size));  // its length field agrees
        EXPECT_FALSE(Decodes<Record>(shorter)) << "cut to " << size;
        EXPECT_FALSE(Decodes<Record>(Frame(frame.begin(), frame.begin() + std::ptrdiff_t(size))))
            << "cut to " << size << ", length field as it was";
    }
    Frame longer = frame;
    longer.push_back(0);
    EXPECT_FALSE(Decodes<Record>(longer));
    EXPECT_FALSE(Decodes<Record>(With(longer, 0, std::uint32_t(longer.size()))));
}

TEST(HostProtocol, EveryFrameShortenedOrLengthenedIsRefused) {
    Handshake handshake;
    handshake.bitness = 32;
    handshake.convention = Convention::Cdecl;
    ExpectOnlyTheWholeFrameDecodes<driverhost::SetUp>(Encoded(ASetUp()));
    ExpectOnlyTheWholeFrameDecodes<Handshake>(Encoded(handshake));
    ExpectOnlyTheWholeFrameDecodes<Request>(Encoded(ARequest()));
    ExpectOnlyTheWholeFrameDecodes<Answer>(Encoded(AnAnswer()));
}

TEST(HostProtocol, AFrameOfAnotherKindIsRefused) {
    const Frame request = Encoded(ARequest());
    EXPECT_FALSE(Decodes<Answer>(request));
    EXPECT_FALSE(Decodes<driverhost::SetUp>(request));
    EXPECT_FALSE(Decodes<Handshake>(Encoded(AnAnswer())));
    EXPECT_FALSE(Decodes<Request>(Encoded(ASetUp())));
}

TEST(HostProtocol, EntryNumbersCountsAndOperationsOutOfRangeAreRefused) {
    // Request: length, kind, operation, entry, number count, 2 numbers,
    // text count, 2 text lengths, texts.
    constexpr std::size_t kOperation = 8, kEntry = 12, kNumberCount = 16, kTextCount = 28;
    Request plain;
    plain.entry = 0;
    const Frame frame = Encoded(plain);
    struct Case {
        const char* what;
        std::size_t offset;
        std::uint32_t value;
        bool accepted;
    };
    const Case cases[] = {
        {"the last entry", kEntry, kEntryCount - 1, true},
        {"one past the last entry", kEntry, kEntryCount, false},
        {"a huge entry", kEntry, 0xFFFFFFFF, false},
        {"two numbers", kNumberCount, 2, true},
        {"three numbers", kNumberCount, 3, false},
        {"three texts", kTextCount, 3, false},
        {"operation 0", kOperation, 0, false},
        {"operation Quit", kOperation, std::uint32_t(Operation::Quit), true},
        {"operation Unload", kOperation, std::uint32_t(Operation::Unload), true},
        {"operation past Unload", kOperation, std::uint32_t(Operation::Unload) + 1, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Decodes<Request>(With(frame, c.offset, c.value)), c.accepted) << c.what;
    // A text length where the count says there is no text.
    EXPECT_FALSE(Decodes<Request>(With(frame, 32, 1)));
}

TEST(HostProtocol, AnswerFieldsOutOfRangeAreRefused) {
    // Answer: length, kind, status, convention, stack bytes, word, real, 31 reals,
    // has-text, text length, text.
    constexpr std::size_t kStatus = 8, kConvention = 12, kHasText = 28 + 4 * kSpectrumBands;
    Answer none;
    const Frame frame = Encoded(none);
    EXPECT_TRUE(Decodes<Answer>(With(frame, kStatus, std::uint32_t(AnswerStatus::Refused))));
    EXPECT_FALSE(Decodes<Answer>(With(frame, kStatus, std::uint32_t(AnswerStatus::Refused) + 1)));
    EXPECT_TRUE(Decodes<Answer>(With(frame, kConvention, std::uint32_t(Convention::Stdcall))));
    EXPECT_FALSE(Decodes<Answer>(With(frame, kConvention, std::uint32_t(Convention::Stdcall) + 1)));
    EXPECT_FALSE(Decodes<Answer>(With(frame, kHasText, 2)));
    // No text, but a text length.
    Frame lying = With(frame, kHasText + 4, 1);
    lying.push_back('x');
    EXPECT_FALSE(Decodes<Answer>(With(lying, 0, std::uint32_t(lying.size()))));
}

TEST(HostProtocol, HandshakeAndSetUpFieldsOutOfRangeAreRefused) {
    Handshake handshake;
    handshake.bitness = 64;
    const Frame frame = Encoded(handshake);
    // length, kind, magic, version, bitness, load error, decorated, convention
    EXPECT_FALSE(Decodes<Handshake>(With(frame, 16, 16)));
    EXPECT_FALSE(Decodes<Handshake>(With(frame, 8, 0)));    // magic
    EXPECT_FALSE(Decodes<Handshake>(With(frame, 12, 99)));  // version
    EXPECT_FALSE(Decodes<Handshake>(With(frame, 24, 2)));   // decorated
    EXPECT_FALSE(Decodes<Handshake>(With(frame, 28, 3)));   // convention
    const Frame setUp = Encoded(ASetUp());
    // ..., section size at 40, path length at 44
    EXPECT_FALSE(Decodes<driverhost::SetUp>(With(setUp, 40, 4096)));
    EXPECT_FALSE(Decodes<driverhost::SetUp>(With(setUp, 44, kMaximumPath + 1)));
}

TEST(HostProtocol, ClaimedLengthNeedsFourBytes) {
    const std::uint8_t bytes[] = {5, 0, 0, 1};
    EXPECT_EQ(ClaimedLength(bytes, 3), 0u);
    EXPECT_EQ(ClaimedLength(bytes, 4), 0x01000005u);
}

// The exchange state: whichever side comes first, the module waits for the
// answer event exactly when the host signals it, so no signal is lost and
// none is left over to answer the next request early.
TEST(HostProtocol, TheAnswerEventIsSignalledExactlyWhenTheModuleWaitsForIt) {
    struct Case {
        const char* order;
        bool hostPosts;       // a host that writes the state at all
        bool postFirst;       // the answer comes while the module watches
        bool moduleWaits;     // SettleBlocking's verdict
        bool hostSignals;     // PostAnswer's verdict
    };
    const Case cases[] = {
        {"answer while watching", true, true, false, false},
        {"answer after the module gave up watching", true, false, true, true},
        {"a host that never marks the state (signals always)", false, false, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.order);
        std::vector<std::uint8_t> section(kSectionSize, 0xEE);  // garbage from before
        BeginExchange(section.data());
        EXPECT_FALSE(AnswerPosted(section.data()));
        bool signalled = !c.hostPosts;
        if (c.hostPosts && c.postFirst) signalled = PostAnswer(section.data());
        if (c.postFirst) {
            EXPECT_TRUE(AnswerPosted(section.data()));
        }
        const bool waits = SettleBlocking(section.data());
        if (c.hostPosts && !c.postFirst) signalled = PostAnswer(section.data());
        EXPECT_EQ(waits, c.moduleWaits);
        EXPECT_EQ(signalled, c.hostSignals);
        EXPECT_EQ(waits, signalled);
    }
}

TEST(HostProtocol, AStateWordOfGarbageMakesTheModuleWaitForTheEvent) {
    std::vector<std::uint8_t> section(kSectionSize, 0);
    BeginExchange(section.data());
    std::memset(section.data() + kStateOffset, 0x7F, 4);  // neither Waiting nor Answered
    EXPECT_FALSE(AnswerPosted(section.data()));
    EXPECT_TRUE(SettleBlocking(section.data()));
}

}  // namespace

// An answer whose text would not fit the answer area goes without it, and
// says so; one that fits goes as it is.
TEST(HostProtocol, AnAnswerTooLongForItsAreaLeavesItsTextOut) {
    for (const std::size_t textSize : {std::size_t(100), driverhost::kLongestText, driverhost::kAnswerArea - 64,
                                       driverhost::kAnswerArea}) {
        SCOPED_TRACE(textSize);
        driverhost::Answer answer;
        answer.word = 7;
        answer.hasText = true;
        answer.text.assign(textSize, 't');
        std::vector<std::uint8_t> frame = {1, 2, 3};  // replaced, not appended to
        driverhost::EncodeToFit(answer, &frame);
        ASSERT_LE(frame.size(), driverhost::kAnswerArea);
        driverhost::Answer read;
        ASSERT_TRUE(driverhost::Decode(frame.data(), frame.size(), &read));
        EXPECT_EQ(read.word, 7u);
        const bool fits = textSize < driverhost::kAnswerArea - 64;
        EXPECT_EQ(read.status, fits ? driverhost::AnswerStatus::Done : driverhost::AnswerStatus::TextTooLong);
        EXPECT_EQ(read.hasText, fits);
        EXPECT_EQ(read.text.size(), fits ? textSize : 0u);
    }
}
