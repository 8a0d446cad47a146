// The driver host is a Windows program only.
#include "platform/ModuleLink.h"

namespace platform {

void EndQuietlyOnCrash() {}

struct ModuleLink {};

ModuleLink* ConnectToModule(const std::string&) { return nullptr; }
bool LinkSend(ModuleLink*, const std::vector<std::uint8_t>&) { return false; }
bool LinkReceive(ModuleLink*, std::vector<std::uint8_t>*) { return false; }
std::uint8_t* MapSharedSection(std::uint64_t, std::size_t) { return nullptr; }
bool WaitForSignal(std::uint64_t) { return false; }
void Signal(std::uint64_t) {}

}  // namespace platform
