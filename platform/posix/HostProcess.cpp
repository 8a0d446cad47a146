// The driver host runs instrument drivers built for Windows; the native
// build runs every driver in-process.
#include "platform/HostProcess.h"

namespace platform {

const bool kDriverHostAvailable = false;

namespace {
constexpr std::uint32_t kNotSupported = 50;  // ERROR_NOT_SUPPORTED
}

struct HostProcess {};

HostProcess* StartHostProcess(const std::string&, std::size_t, std::uint32_t, HostHandles*,
                              std::uint32_t* error) {
    *error = kNotSupported;
    return nullptr;
}
std::uint32_t HostProcessId(const HostProcess*) { return 0; }
std::uint8_t* HostSection(HostProcess*) { return nullptr; }
bool HostSend(HostProcess*, const std::vector<std::uint8_t>&) { return false; }
HostWait HostReceive(HostProcess*, std::vector<std::uint8_t>*, std::uint32_t) {
    return HostWait::Exited;
}
void HostSignalRequest(HostProcess*) {}
HostWait HostAwaitAnswer(HostProcess*, std::uint32_t) { return HostWait::Exited; }
std::uint32_t HostExitCode(const HostProcess*) { return 0; }
std::uint32_t EndHostProcess(HostProcess*, std::uint32_t) { return 0; }

}  // namespace platform
