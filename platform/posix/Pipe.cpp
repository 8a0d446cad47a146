// The local loop is a Windows feature; the native build has no pipes.
#include "platform/Pipe.h"

namespace platform {

namespace {
constexpr std::uint32_t kNotSupported = 50;  // ERROR_NOT_SUPPORTED
}

const bool kPipesAvailable = false;

struct Pipe {};

Pipe* CreatePipeInstance(const std::string&, bool, std::uint32_t* error) {
    *error = kNotSupported;
    return nullptr;
}
PipeWait AcceptPipeClient(Pipe*, std::uint32_t) { return PipeWait::Closed; }
void DisconnectPipeClient(Pipe*) {}
Pipe* ConnectPipe(const std::string&, std::uint32_t, std::uint32_t* error) {
    *error = kNotSupported;
    return nullptr;
}
bool PipeSend(Pipe*, const std::vector<std::uint8_t>&) { return false; }
PipeWait PipeReceive(Pipe*, std::vector<std::uint8_t>*, std::uint32_t, std::size_t) { return PipeWait::Closed; }
bool PipeServerIsCurrentUser(Pipe*) { return false; }
void InterruptPipe(Pipe*) {}
void ClosePipe(Pipe*) {}

}  // namespace platform
