// Child processes, for the tools and the tests that start a program of ours
// (kestav-host --listen) and end it again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct ChildProcess;

// Starts `program` with `arguments` (each quoted as needed); its standard
// output and error go to `outputFile` when one is given. Null on failure.
ChildProcess* StartChild(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& outputFile = std::string());
bool ChildRunning(ChildProcess* child);
// Waits at most timeoutMs for it to end by itself; true when it has.
bool WaitChild(ChildProcess* child, std::uint32_t timeoutMs);
// Ends it if it still runs, and frees all.
void EndChild(ChildProcess* child);

}  // namespace platform
