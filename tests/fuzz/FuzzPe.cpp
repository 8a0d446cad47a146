// Any bytes as a driver library's file (PE or ELF), as the module and the
// client check read it before anything loads it: an answer, never a read
// past the end.
#include <cstdint>
#include <string>

#include "driver/ElfLibrary.h"
#include "driver/LibraryBitness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string file(reinterpret_cast<const char*>(data), size);
    const int bits = driver::LibraryBitness(file);
    if (bits != 0 && bits != 32 && bits != 64) __builtin_trap();
    const auto names = driver::ExportedNames(file);
    if (!names.empty() && bits == 0) __builtin_trap();  // exports only of a library
    const auto imports = driver::ImportedLibraries(file);
    if (imports.size() > driver::kMostImports || (!imports.empty() && bits == 0)) __builtin_trap();
    // The same bytes as a Linux driver's ELF file.
    driver::ElfLibrary elf;
    const bool read = driver::ReadElfLibrary(file, &elf);
    if (!read && (elf.bits != 0 || !elf.exports.empty() || !elf.needed.empty())) __builtin_trap();
    if (elf.exports.size() > driver::kMostElfNames || elf.needed.size() > driver::kMostElfNames) __builtin_trap();
    return 0;
}
