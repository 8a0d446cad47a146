// What a Linux shared library exports and needs, read from its ELF file
// before anything loads it: the counterpart of LibraryBitness.h for the
// FreeRDP add-in's drivers.
#pragma once

#include <string>
#include <vector>

namespace driver {

struct ElfLibrary {
    int bits = 0;                        // 64 for x86-64, 32 for i386
    std::vector<std::string> exports;    // defined global symbols of its dynamic table
    std::vector<std::string> needed;     // DT_NEEDED: the libraries the loader must find
    std::string soname;                  // DT_SONAME: the name the loader knows it by ("" none)
};

// At most this many symbols and needed libraries are read.
constexpr std::size_t kMostElfNames = 65536;

// False for anything that is not an ELF shared object for x86-64 or i386
// (every offset is checked; nothing is read past the bytes given). Only
// the 64-bit form is read further: a 32-bit one gives its bits alone.
bool ReadElfLibrary(const std::string& file, ElfLibrary* library);

}  // namespace driver
