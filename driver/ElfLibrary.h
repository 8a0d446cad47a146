// What a Linux shared library exports and needs, read from its ELF file
// before anything loads it: the counterpart of LibraryBitness.h for the
// FreeRDP add-in's drivers.
#pragma once

#include <string>
#include <vector>

#include "driver/Machine.h"

namespace driver {

struct ElfLibrary {
    Machine machine = Machine::Unknown;  // i386, x86-64, arm64 or arm
    int bits = 0;                        // its width: 64 or 32
    std::vector<std::string> exports;    // defined global symbols of its dynamic table
    std::vector<std::string> needed;     // DT_NEEDED: the libraries the loader must find
    std::string soname;                  // DT_SONAME: the name the loader knows it by ("" none)
};

// At most this many symbols and needed libraries are read.
constexpr std::size_t kMostElfNames = 65536;

// False for anything that is not an ELF shared object for x86-64, i386,
// arm64 or arm (every offset is checked; nothing is read past the bytes
// given); the 64-bit and the 32-bit forms alike.
bool ReadElfLibrary(const std::string& file, ElfLibrary* library);

}  // namespace driver
