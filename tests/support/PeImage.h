// A minimal PE image in memory, as the driver checks read one: DOS header,
// PE signature, COFF and optional headers (PE32 for i386, PE32+ otherwise),
// one section holding an export directory with the given names and an
// import directory naming the given libraries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// The PE signature stands at offset 0x80.
std::string MakePeImage(std::uint16_t machine, const std::vector<std::string>& exports,
                        const std::vector<std::string>& imports = {});
// The first 64 bytes of an ELF shared object: class (1: 32-bit, 2: 64-bit),
// machine (e_machine) and byte order (1: little-endian).
std::string MakeElfHeader(std::uint16_t machine, char elfClass, char order = 1);
// A library's first bytes for `peMachine` (Windows) or `elfMachine` (elsewhere).
std::string LibraryHeader(std::uint16_t peMachine, std::uint16_t elfMachine, char elfClass);

}  // namespace testing_support
