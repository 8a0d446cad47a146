#include "driver/LibraryBitness.h"

#include <cstdint>

#include "driver/LittleEndian.h"
#include "driver/Machine.h"

namespace driver {

int LibraryBitness(const std::string& fileStart) {
    if (fileStart.compare(0, 2, "MZ") != 0) return 0;
    const Machine machine = MachineOfFile(fileStart);
    return machine == Machine::I386 ? 32 : machine == Machine::Amd64 ? 64 : 0;
}

namespace {
// A file offset for a relative virtual address, through the section table;
// false when no section holds it.
bool Offset(const std::string& file, std::uint32_t sections, std::uint32_t count,
            std::uint32_t rva, std::uint32_t* offset) {
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t header = sections + i * 40;
        if (header > file.size() || file.size() - header < 40) return false;
        const std::uint32_t virtualSize = ReadLittle32(file, header + 8, 4);
        const std::uint32_t address = ReadLittle32(file, header + 12, 4);
        const std::uint32_t rawSize = ReadLittle32(file, header + 16, 4);
        const std::uint32_t raw = ReadLittle32(file, header + 20, 4);
        const std::uint32_t span = virtualSize > rawSize ? virtualSize : rawSize;
        if (rva >= address && rva - address < span && rva - address < rawSize) {
            *offset = raw + (rva - address);
            return *offset < file.size();
        }
    }
    return false;
}
}  // namespace

namespace {
// Where one of the optional header's data directories points: its file
// offset and the section table, for the tables it leads to.
struct Directory {
    std::uint32_t offset = 0;
    std::uint32_t sections = 0;
    std::uint32_t sectionCount = 0;
};

bool FindDirectory(const std::string& file, std::uint32_t index, Directory* found) {
    if (LibraryBitness(file) == 0) return false;
    const std::uint32_t pe = ReadLittle32(file, kPeOffsetField, 4);
    if (file.size() - pe < 24) return false;
    found->sectionCount = ReadLittle32(file, pe + 6, 2);
    const std::uint32_t optionalSize = ReadLittle32(file, pe + 20, 2);
    const std::uint32_t optional = pe + 24;
    if (file.size() - optional < optionalSize || optionalSize < 2) return false;
    const std::uint32_t magic = ReadLittle32(file, optional, 2);
    // The data directories: PE32 from 96, PE32+ from 112, 8 bytes each.
    const std::uint32_t directory = optional + (magic == 0x20B ? 112 : 96) + 8 * index;
    if (directory + 8 > optional + optionalSize) return false;
    const std::uint32_t rva = ReadLittle32(file, directory, 4);
    found->sections = optional + optionalSize;
    return rva != 0 && Offset(file, found->sections, found->sectionCount, rva, &found->offset);
}

// The zero-ended text at a relative virtual address; false where there is none.
bool TextAt(const std::string& file, const Directory& directory, std::uint32_t rva, std::string* text) {
    std::uint32_t at = 0;
    if (!Offset(file, directory.sections, directory.sectionCount, rva, &at)) return false;
    const std::size_t end = file.find('\0', at);
    if (end == std::string::npos) return false;
    *text = file.substr(at, end - at);
    return true;
}

constexpr std::uint32_t kExportDirectory = 0, kImportDirectory = 1;
}  // namespace

std::vector<std::string> ExportedNames(const std::string& file) {
    std::vector<std::string> names;
    Directory directory;
    if (!FindDirectory(file, kExportDirectory, &directory) || file.size() - directory.offset < 40)
        return names;
    const std::uint32_t exports = directory.offset;
    const std::uint32_t count = ReadLittle32(file, exports + 24, 4);
    std::uint32_t table = 0;
    if (!Offset(file, directory.sections, directory.sectionCount, ReadLittle32(file, exports + 32, 4), &table))
        return names;
    for (std::uint32_t i = 0; i < count && i < 65536; ++i) {
        if (file.size() - table < std::size_t(i) * 4 + 4) break;
        std::string name;
        if (!TextAt(file, directory, ReadLittle32(file, table + i * 4, 4), &name)) break;
        names.push_back(name);
    }
    return names;
}

std::vector<std::string> ImportedLibraries(const std::string& file) {
    std::vector<std::string> names;
    Directory directory;
    if (!FindDirectory(file, kImportDirectory, &directory)) return names;
    // Import descriptors of 20 bytes, the library's name at 12, until one of zeros.
    constexpr std::uint32_t kDescriptor = 20;
    for (std::size_t at = directory.offset; names.size() < kMostImports; at += kDescriptor) {
        if (file.size() - at < kDescriptor) break;
        const std::uint32_t nameRva = ReadLittle32(file, at + 12, 4);
        if (nameRva == 0) break;
        std::string name;
        if (!TextAt(file, directory, nameRva, &name)) break;
        names.push_back(name);
    }
    return names;
}

}  // namespace driver
