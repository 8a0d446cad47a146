// What the module and the driver host say to each other. Every frame is made
// of fixed-width little-endian fields, so a 32-bit and a 64-bit side read it
// alike, and every length and count is checked before it is used: a decoder
// takes any bytes and either fills its record or says no.
//
//   set-up     module -> host, over the pipe: where the shared section and
//              the two events are in the host's handle table
//   handshake  host -> module, over the pipe: did the driver load, and how
//              its entry points are built
//   request    module -> host, in the shared section: one entry-point call,
//              or the 31 calls of a whole spectrum
//   answer     host -> module, in the shared section
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/EntryList.h"
#include "platform/EntryCall.h"

namespace driverhost {

using platform::Convention;

constexpr std::uint32_t kMagic = 0x4854534B;  // "KSTH"
constexpr std::uint32_t kProtocolVersion = 4;
// Requests name an entry point by its place in the one list.
#define KST_COUNT_ENTRY(name, form, bytes) +1
constexpr std::uint32_t kEntryCount = 0 KST_ENTRY_POINTS(KST_COUNT_ENTRY);
#undef KST_COUNT_ENTRY
static_assert(kEntryCount == 31, "31 entry points");
constexpr std::uint32_t kSpectrumBands = 31;
// The shared section: a request area, an answer area, then the exchange
// state (one word, on a cache line of its own).
constexpr std::size_t kRequestArea = 192 * 1024;  // two texts of a 64 KiB command
// A driver's text reaches the module whole up to the longest response any
// transport carries (1 MiB), as it does in-process; the rest of the area is
// room for the answer's fixed fields.
constexpr std::size_t kLongestText = 1024 * 1024;
constexpr std::size_t kAnswerArea = kLongestText + 4096;
constexpr std::size_t kStateOffset = kRequestArea + kAnswerArea;
constexpr std::size_t kSectionSize = kStateOffset + 64;
constexpr std::uint32_t kMaximumPath = 32768;  // the longest path Windows knows

struct SetUp {
    std::uint64_t section = 0;  // handle values in the host's process
    std::uint64_t requestEvent = 0;
    std::uint64_t answerEvent = 0;
    std::uint32_t sectionSize = 0;
    std::string library;  // full path of the instrument driver library
};

struct Handshake {
    std::uint32_t bitness = 0;     // 32 or 64: the host's, and so the driver's
    std::uint32_t loadError = 0;   // 0: all 31 entry points bound; else the loader's code
    std::uint32_t decoratedNames = 0;
    Convention convention = Convention::Unknown;
};

// Load (texts[0]: the library's full path) binds another driver in a host
// that has none, and is answered by a handshake carried as the answer's
// text; Unload releases the bound driver and keeps the host for the next.
enum class Operation : std::uint32_t { Call = 1, ReadSpectrum = 2, Quit = 3, Load = 4, Unload = 5 };

// One call: the entry point's index in the binding's table and its
// arguments in order, numbers (16-bit values widened) and texts apart.
struct Request {
    Operation operation = Operation::Call;
    std::uint32_t entry = 0;
    std::uint32_t numberCount = 0;
    std::int32_t numbers[2] = {0, 0};
    std::uint32_t textCount = 0;
    std::string texts[2];
};

enum class AnswerStatus : std::uint32_t { Done = 0, TextTooLong = 1, Refused = 2 };

struct Answer {
    AnswerStatus status = AnswerStatus::Done;
    Convention convention = Convention::Unknown;  // as far as the host knows it now
    std::uint32_t stackBytes = 0;  // what this call's entry point took off the 32-bit stack
    std::uint32_t word = 0;        // a flag or an integer result
    float real = 0.0f;
    float spectrum[kSpectrumBands] = {};
    bool hasText = false;  // false: the driver returned a null text
    std::string text;
};

// Encoders append one whole frame; decoders accept exactly one whole frame.
void Encode(const SetUp& setUp, std::vector<std::uint8_t>* frame);
void Encode(const Handshake& handshake, std::vector<std::uint8_t>* frame);
void Encode(const Request& request, std::vector<std::uint8_t>* frame);
void Encode(const Answer& answer, std::vector<std::uint8_t>* frame);
// The host's answer as it goes into the answer area: when its text makes the
// frame larger than the area, the text is left out and the status says so.
void EncodeToFit(Answer answer, std::vector<std::uint8_t>* frame);

[[nodiscard]] bool Decode(const std::uint8_t* bytes, std::size_t size, SetUp* setUp);
[[nodiscard]] bool Decode(const std::uint8_t* bytes, std::size_t size, Handshake* handshake);
[[nodiscard]] bool Decode(const std::uint8_t* bytes, std::size_t size, Request* request);
[[nodiscard]] bool Decode(const std::uint8_t* bytes, std::size_t size, Answer* answer);

// The exchange state. Waking a thread that sleeps on an event costs far more
// than most driver calls take, so the module does not sleep at once: it
// marks the state Waiting, signals the request and watches the state for a
// short while. The host, having written its answer, marks it Answered and
// signals the answer event only when the module had stopped watching and
// marked it Blocking. A host that always signals is still understood; what
// the state says is a hint, the answer frame is checked as ever.
enum class ExchangeState : std::uint32_t { Waiting = 0, Blocking = 1, Answered = 2 };
// The module's side: before the request is signalled...
void BeginExchange(std::uint8_t* section);
// ...whether the answer is there...
bool AnswerPosted(const std::uint8_t* section);
// ...and, when it stops watching: true when it must now wait for the event,
// false when the answer came meanwhile.
bool SettleBlocking(std::uint8_t* section);
// The host's side, once the answer is written: true when it must signal.
bool PostAnswer(std::uint8_t* section);

// The length a frame claims in its first field, or 0 when fewer than four
// bytes are there: how much of a shared area to copy before decoding.
std::size_t ClaimedLength(const std::uint8_t* bytes, std::size_t available);

}  // namespace driverhost
