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

namespace {
// A file offset for a relative virtual address, through the section table;
// false when no section holds it.
bool Offset(const std::string& file, std::uint32_t sections, std::uint32_t count,
            std::uint32_t rva, std::uint32_t* offset) {
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t header = sections + i * 40;
        if (header > file.size() || file.size() - header < 40) return false;
        const std::uint32_t virtualSize = Little(file, header + 8, 4);
        const std::uint32_t address = Little(file, header + 12, 4);
        const std::uint32_t rawSize = Little(file, header + 16, 4);
        const std::uint32_t raw = Little(file, header + 20, 4);
        const std::uint32_t span = virtualSize > rawSize ? virtualSize : rawSize;
        if (rva >= address && rva - address < span && rva - address < rawSize) {
            *offset = raw + (rva - address);
            return *offset < file.size();
        }
    }
    return false;
}
}  // namespace

std::vector<std::string> ExportedNames(const std::string& file) {
    std::vector<std::string> names;
    if (LibraryBitness(file) == 0) return names;
    const std::uint32_t pe = Little(file, kPeOffsetField, 4);
    if (file.size() - pe < 24) return names;
    const std::uint32_t sectionCount = Little(file, pe + 6, 2);
    const std::uint32_t optionalSize = Little(file, pe + 20, 2);
    const std::uint32_t optional = pe + 24;
    if (file.size() - optional < optionalSize || optionalSize < 2) return names;
    const std::uint32_t magic = Little(file, optional, 2);
    // The first data directory, the export table: PE32 at 96, PE32+ at 112.
    const std::uint32_t directory = optional + (magic == 0x20B ? 112 : 96);
    if (directory + 8 > optional + optionalSize) return names;
    const std::uint32_t exportRva = Little(file, directory, 4);
    const std::uint32_t sections = optional + optionalSize;
    std::uint32_t exports = 0;
    if (exportRva == 0 || !Offset(file, sections, sectionCount, exportRva, &exports) ||
        file.size() - exports < 40)
        return names;
    const std::uint32_t count = Little(file, exports + 24, 4);
    std::uint32_t table = 0;
    if (!Offset(file, sections, sectionCount, Little(file, exports + 32, 4), &table)) return names;
    for (std::uint32_t i = 0; i < count && i < 65536; ++i) {
        if (file.size() - table < std::size_t(i) * 4 + 4) break;
        std::uint32_t name = 0;
        if (!Offset(file, sections, sectionCount, Little(file, table + i * 4, 4), &name)) break;
        const std::size_t end = file.find('\0', name);
        if (end == std::string::npos) break;
        names.push_back(file.substr(name, end - name));
    }
    return names;
}

}  // namespace driver
