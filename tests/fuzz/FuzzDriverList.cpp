// The installer's editing of the ICA client's VirtualDriverEx list: any text
// as the list an administrator's PC has. Ours is added once, added again
// changes nothing, and removing it gives back a list without it that keeps
// every other entry in its order.
#include <cstdint>
#include <string>
#include <vector>

#include "packaging/DriverList.h"

namespace {
const std::string kOurs = "KestavClientDriver";

// The entries without blanks around them, ours left out.
std::vector<std::string> Others(const std::string& list) {
    std::vector<std::string> entries;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = list.find(',', start);
        std::string entry = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const std::size_t first = entry.find_first_not_of(" \t");
        entry = first == std::string::npos ? "" : entry.substr(first, entry.find_last_not_of(" \t") - first + 1);
        if (packaging::CountModule(entry, kOurs) == 0 && !entry.empty()) entries.push_back(entry);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return entries;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string list(reinterpret_cast<const char*>(data), size);
    const std::string added = packaging::AddModule(list, kOurs);
    if (packaging::CountModule(added, kOurs) < 1) __builtin_trap();
    if (packaging::AddModule(added, kOurs) != added) __builtin_trap();
    const std::string removed = packaging::RemoveModule(added, kOurs);
    if (packaging::CountModule(removed, kOurs) != 0) __builtin_trap();
    if (Others(removed) != Others(list)) __builtin_trap();
    return 0;
}
