#include "driver/LibraryBitness.h"

#include <cstdint>

namespace driver {

namespace {
std::uint32_t Little(const std::string& bytes, std::size_t at, int width) {
    std::uint32_t value = 0;
    for (int i = 0; i < width; ++i)
        value |= std::uint32_t(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    return value;
}

constexpr std::uint32_t kPeOffsetField = 0x3C;  // e_lfanew of the DOS header
constexpr std::uint32_t kMachineI386 = 0x014C;
constexpr std::uint32_t kMachineAmd64 = 0x8664;
}  // namespace

int LibraryBitness(const std::string& fileStart) {
    if (fileStart.size() < kPeOffsetField + 4 || fileStart.compare(0, 2, "MZ") != 0) return 0;
    const std::uint32_t pe = Little(fileStart, kPeOffsetField, 4);
    // "PE\0\0", then the COFF header's machine field.
    if (pe > fileStart.size() || fileStart.size() - pe < 6) return 0;
    if (fileStart.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return 0;
    switch (Little(fileStart, pe + 4, 2)) {
        case kMachineI386:
            return 32;
        case kMachineAmd64:
            return 64;
        default:
            return 0;
    }
}

}  // namespace driver
