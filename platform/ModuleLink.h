// The module, as the driver host sees it: the private pipe it was started
// with, the shared section and the two events whose handles came over it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// A crash in the driver ends this process at once, quietly, with the
// exception's code as its exit code: no error report or debugger on the
// user's desktop. The module sees the end and logs the code.
void EndQuietlyOnCrash();

struct ModuleLink;
ModuleLink* ConnectToModule(const std::string& pipeName);
bool LinkSend(ModuleLink* link, const std::vector<std::uint8_t>& message);
bool LinkReceive(ModuleLink* link, std::vector<std::uint8_t>* message);
std::uint8_t* MapSharedSection(std::uint64_t section, std::size_t size);
bool WaitForSignal(std::uint64_t event);
void Signal(std::uint64_t event);

}  // namespace platform
