// KestavDriverHost32.exe / KestavDriverHost64.exe: runs one instrument driver
// library at a time in a process of its own, for the module. The module starts
// it with the name of a private pipe, hands it the driver's full path and the
// shared section over that pipe, and then sends each call as a request frame;
// a later Init of the same session unloads that driver and loads the next one
// here, without a new process. A crash or a hang in the driver ends or stalls
// this process only; the module sees it and answers the command with an error.
//
// It binds the driver exactly as the module does in-process (all 31 entry
// points or none, either calling convention, plain or decorated names), and
// it never writes the module's log.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "diag/LogFile.h"
#include "driver/Spectro.h"
#include "driver/HostProtocol.h"
#include "platform/File.h"
#include "platform/Library.h"
#include "platform/ModuleLink.h"

namespace {

// Exit codes, for the module's log.
// (7: on Linux, the module's process ended: see platform/posix/ModuleLink.cpp.)
enum Exit { kDone = 0, kUsage = 2, kNoModule = 3, kNoSetUp = 4, kNoSection = 5, kBadRequest = 6 };

}  // namespace

int main(int argc, char** argv) {
    diag::LogFile::firstOpen = false;  // whatever happens, the module's log is never emptied here
    platform::EndQuietlyOnCrash();
    if (argc != 2) return kUsage;
    platform::ModuleLink* link = platform::ConnectToModule(argv[1]);
    if (link == nullptr) return kNoModule;

    std::vector<std::uint8_t> message;
    driverhost::SetUp setUp;
    if (!platform::LinkReceive(link, &message) ||
        !driverhost::Decode(message.data(), message.size(), &setUp))
        return kNoSetUp;
    std::uint8_t* section = platform::MapSharedSection(setUp.section, driverhost::kSectionSize);
    if (section == nullptr) return kNoSection;

    driver::Spectro spectro;
    const driverhost::Handshake handshake = spectro.BindInHost(setUp.library);
    message.clear();
    driverhost::Encode(handshake, &message);
    if (!platform::LinkSend(link, message) || handshake.loadError != 0) return kDone;

    std::vector<std::uint8_t> frame;
    for (;;) {
        if (!platform::WaitForSignal(setUp.requestEvent)) return kBadRequest;
        // Copied out of the shared section before it is looked at.
        const std::size_t length = driverhost::ClaimedLength(section, driverhost::kRequestArea);
        if (length == 0 || length > driverhost::kRequestArea) return kBadRequest;
        frame.assign(section, section + length);
        driverhost::Request request;
        if (!driverhost::Decode(frame.data(), frame.size(), &request)) return kBadRequest;
        if (request.operation == driverhost::Operation::Quit) {
            spectro.UnloadDriver();
            if (driverhost::PostAnswer(section)) platform::Signal(setUp.answerEvent);
            return kDone;
        }
        driverhost::Answer answer;
        spectro.Serve(request, &answer);
        driverhost::EncodeToFit(std::move(answer), &frame);
        std::memcpy(section + driverhost::kRequestArea, frame.data(), frame.size());
        if (driverhost::PostAnswer(section)) platform::Signal(setUp.answerEvent);
    }
}
