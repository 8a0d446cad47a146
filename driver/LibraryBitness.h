// Which kind of process can load a library, read from its PE header before
// anything loads it.
#pragma once

#include <string>
#include <vector>

namespace driver {

// How many bytes of the file LibraryBitness needs at most.
constexpr std::size_t kPeHeaderBytes = 4096;

// 32 for an i386 library, 64 for an x86-64 one, 0 for anything else (not a
// PE file, another machine, a header beyond the bytes given):
// LibraryBitness(first bytes of "sim.dll" built by i686-w64-mingw32) => 32.
int LibraryBitness(const std::string& fileStart);

// The names a PE library exports, read from its whole file; empty for
// anything that does not read as one (every offset is checked).
std::vector<std::string> ExportedNames(const std::string& file);

// The libraries a PE library imports, by the names in its import table
// ("KERNEL32.dll", "libgcc_s_dw2-1.dll"), read from its whole file; empty
// for anything that does not read as one. At most kMostImports.
constexpr std::size_t kMostImports = 1024;
std::vector<std::string> ImportedLibraries(const std::string& file);

}  // namespace driver
