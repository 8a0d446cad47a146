// Shared set-up of the fuzz targets: a log that cannot be written (so that
// millions of runs do not fill the disk, and the silent-failure path is what
// runs), the module folder beside the program, and control of the recording
// driver's call record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "diag/ModuleFolder.h"
#include "platform/CallingConvention.h"
#include "platform/Environment.h"
#include "platform/Library.h"

namespace fuzz {

constexpr std::size_t kMaximumInput = 64 * 1024;

inline std::string ProgramFolder() {
    const std::string self = platform::ModuleFileName(reinterpret_cast<const void*>(&ProgramFolder));
    return self.substr(0, self.find_last_of("\\/"));
}

inline void Prepare() {
    if (std::getenv("KST_FUZZ_LOG") == nullptr)
        platform::SetEnvironment("TMPDIR", "/nonexistent-kestav-fuzz-log-folder");
    diag::SetModuleFolder(ProgramFolder());
}

// The recording driver keeps every call; forget them now and then so that a
// long run does not grow without bound.
inline void ForgetRecordedCalls() {
    static platform::LibraryHandle recording =
        platform::OpenLibrary(ProgramFolder() + "/drivers/Kestav/recording.dll");
    static auto reset = reinterpret_cast<void(KST_CDECL*)()>(reinterpret_cast<std::uintptr_t>(
        recording ? platform::FindSymbol(recording, "RecordingReset") : nullptr));
    if (reset != nullptr) reset();
}

}  // namespace fuzz
