// A driver host gone wrong, for the tests: it starts and shakes hands as the
// real one does, then answers every request with what the environment
// variable KST_BROKEN_HOST names:
//   past     an answer claiming one byte more than its area holds
//   huge     an answer claiming 1 GiB
//   zero     an answer of length 0
//   kind     a frame of another kind where the answer belongs
//   refused  a well-formed answer that refuses the request
//   noshake  every request answered well, but a load with no handshake
//   otherbits  every request answered well, but a load with the handshake
//           of a host of the other bitness
// The module must take each as a driver that stopped, and end this process.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/HostProtocol.h"
#include "platform/ModuleLink.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    platform::ModuleLink* link = platform::ConnectToModule(argv[1]);
    std::vector<std::uint8_t> message;
    driverhost::SetUp setUp;
    if (link == nullptr || !platform::LinkReceive(link, &message) ||
        !driverhost::Decode(message.data(), message.size(), &setUp))
        return 3;
    std::uint8_t* section = platform::MapSharedSection(setUp.section, driverhost::kSectionSize);
    driverhost::Handshake handshake;
    handshake.bitness = std::uint32_t(sizeof(void*) * 8);
    message.clear();
    driverhost::Encode(handshake, &message);
    if (section == nullptr || !platform::LinkSend(link, message)) return 4;

    const char* mode = std::getenv("KST_BROKEN_HOST");
    const std::string how = mode != nullptr ? mode : "";
    for (;;) {
        if (!platform::WaitForSignal(setUp.requestEvent)) return 5;
        std::vector<std::uint8_t> frame;
        driverhost::Request asked;
        const std::size_t length = driverhost::ClaimedLength(section, driverhost::kRequestArea);
        const bool load = length != 0 && driverhost::Decode(section, length, &asked) &&
                          asked.operation == driverhost::Operation::Load;
        if (load && (how == "noshake" || how == "otherbits")) {
            driverhost::Answer answer;
            answer.hasText = true;
            if (how == "otherbits") {
                driverhost::Handshake other;
                other.bitness = sizeof(void*) == 8 ? 32 : 64;
                std::vector<std::uint8_t> shake;
                driverhost::Encode(other, &shake);
                answer.text.assign(shake.begin(), shake.end());
            } else {
                answer.text = "no handshake";
            }
            driverhost::Encode(answer, &frame);
        } else if (how == "kind") {
            driverhost::Request request;
            driverhost::Encode(request, &frame);
        } else {
            driverhost::Answer answer;
            if (how == "refused") answer.status = driverhost::AnswerStatus::Refused;
            driverhost::Encode(answer, &frame);
            const std::uint32_t claimed = how == "past"   ? std::uint32_t(driverhost::kAnswerArea + 1)
                                          : how == "huge" ? 0x40000000u
                                          : how == "zero" ? 0u
                                                          : std::uint32_t(frame.size());
            std::memcpy(frame.data(), &claimed, 4);
        }
        std::memcpy(section + driverhost::kRequestArea, frame.data(), frame.size());
        platform::Signal(setUp.answerEvent);
    }
}
