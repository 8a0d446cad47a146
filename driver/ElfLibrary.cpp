#include "driver/ElfLibrary.h"

#include <cstdint>

#include "driver/LittleEndian.h"

namespace driver {

namespace {

// Whether [at, at + size) lies inside the file.
bool Inside(const std::string& file, std::uint64_t at, std::uint64_t size) {
    return at <= file.size() && size <= file.size() - at;
}

constexpr std::uint16_t kSharedObject = 3;  // ET_DYN
constexpr std::uint16_t kMachineX8664 = 62, kMachine386 = 3;
constexpr std::uint32_t kDynamicSection = 6, kDynamicSymbols = 11;  // SHT_DYNAMIC, SHT_DYNSYM
constexpr std::uint64_t kNeeded = 1, kSoname = 14;                   // DT_NEEDED, DT_SONAME

struct Section {
    std::uint32_t type = 0;
    std::uint64_t offset = 0, size = 0, entrySize = 0;
    std::uint32_t link = 0;
};

// The zero-ended text at `at` of the string table `strings`; false past its end.
bool TextIn(const std::string& file, const Section& strings, std::uint64_t at, std::string* text) {
    if (at >= strings.size) return false;
    const std::uint64_t start = strings.offset + at;
    const std::size_t end = file.find('\0', std::size_t(start));
    if (end == std::string::npos || end >= strings.offset + strings.size) return false;
    *text = file.substr(std::size_t(start), end - std::size_t(start));
    return true;
}

}  // namespace

bool ReadElfLibrary(const std::string& file, ElfLibrary* library) {
    *library = ElfLibrary();
    if (file.size() < 64 || file.compare(0, 4, "\x7f" "ELF") != 0 || file[5] != 1) return false;  // little-endian
    const bool wide = file[4] == 2;
    if (ReadLittle(file, 16, 2) != kSharedObject) return false;
    const std::uint64_t machine = ReadLittle(file, 18, 2);
    if (wide && machine == kMachineX8664) library->bits = 64;
    else if (!wide && file[4] == 1 && machine == kMachine386) library->bits = 32;
    else return false;
    if (library->bits == 32) return true;

    const std::uint64_t tableAt = ReadLittle(file, 0x28, 8);
    const std::uint64_t entry = ReadLittle(file, 0x3A, 2), count = ReadLittle(file, 0x3C, 2);
    if (entry < 64 || !Inside(file, tableAt, entry * count)) return true;
    std::vector<Section> sections(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t at = tableAt + i * entry;
        Section& section = sections[i];
        section.type = std::uint32_t(ReadLittle(file, at + 4, 4));
        section.offset = ReadLittle(file, at + 0x18, 8);
        section.size = ReadLittle(file, at + 0x20, 8);
        section.link = std::uint32_t(ReadLittle(file, at + 0x28, 4));
        section.entrySize = ReadLittle(file, at + 0x38, 8);
    }
    for (const Section& section : sections) {
        if ((section.type != kDynamicSymbols && section.type != kDynamicSection) || section.link >= count ||
            !Inside(file, section.offset, section.size))
            continue;
        const Section& strings = sections[section.link];
        if (!Inside(file, strings.offset, strings.size)) continue;
        if (section.type == kDynamicSymbols) {
            if (section.entrySize < 24 || section.size < 24) continue;
            // By index, never by adding the file's entry size to an offset:
            // whatever size the file claims, each entry lies in the section.
            const std::uint64_t symbols = (section.size - 24) / section.entrySize + 1;
            for (std::uint64_t i = 0; i < symbols && library->exports.size() < kMostElfNames; ++i) {
                const std::uint64_t at = section.offset + i * section.entrySize;
                const std::uint64_t binding = ReadLittle(file, at + 4, 1) >> 4;  // 1 global, 2 weak
                const std::uint64_t index = ReadLittle(file, at + 6, 2);        // 0: undefined here
                const std::uint64_t nameAt = ReadLittle(file, at, 4);
                std::string name;
                if ((binding == 1 || binding == 2) && index != 0 && TextIn(file, strings, nameAt, &name))
                    library->exports.push_back(name);
            }
        } else {
            for (std::uint64_t at = section.offset; at + 16 <= section.offset + section.size &&
                                                    library->needed.size() < kMostElfNames;
                 at += 16) {
                const std::uint64_t tag = ReadLittle(file, at, 8);
                if (tag == 0) break;  // DT_NULL
                std::string name;
                if (tag == kNeeded && TextIn(file, strings, ReadLittle(file, at + 8, 8), &name))
                    library->needed.push_back(name);
                else if (tag == kSoname && TextIn(file, strings, ReadLittle(file, at + 8, 8), &name))
                    library->soname = name;
            }
        }
    }
    return true;
}

}  // namespace driver
