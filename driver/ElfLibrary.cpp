#include "driver/ElfLibrary.h"

#include <cstdint>

#include "driver/LittleEndian.h"
#include "driver/Machine.h"

namespace driver {

namespace {

// Whether [at, at + size) lies inside the file.
bool Inside(const std::string& file, std::uint64_t at, std::uint64_t size) {
    return at <= file.size() && size <= file.size() - at;
}

constexpr std::uint16_t kSharedObject = 3;  // ET_DYN
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
    if (ReadLittle(file, 16, 2) != kSharedObject) return false;
    library->machine = MachineOfFile(file);
    library->bits = MachineBits(library->machine);
    if (library->bits == 0) return false;
    // The two forms differ in their fields' places and widths alone.
    const bool wide = library->bits == 64;
    const int word = wide ? 8 : 4;
    const std::uint64_t tableAt = ReadLittle(file, wide ? 0x28 : 0x20, word);
    const std::uint64_t entry = ReadLittle(file, wide ? 0x3A : 0x2E, 2);
    const std::uint64_t count = ReadLittle(file, wide ? 0x3C : 0x30, 2);
    if (entry < (wide ? 64u : 40u) || !Inside(file, tableAt, entry * count)) return true;
    std::vector<Section> sections(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t at = tableAt + i * entry;
        Section& section = sections[i];
        section.type = std::uint32_t(ReadLittle(file, at + 4, 4));
        section.offset = ReadLittle(file, at + (wide ? 0x18 : 0x10), word);
        section.size = ReadLittle(file, at + (wide ? 0x20 : 0x14), word);
        section.link = std::uint32_t(ReadLittle(file, at + (wide ? 0x28 : 0x18), 4));
        section.entrySize = ReadLittle(file, at + (wide ? 0x38 : 0x24), word);
    }
    // A symbol: its name's offset first; its binding and section index at
    // 4 and 6 (64-bit) or 12 and 14 (32-bit). A dynamic entry: tag, value.
    const std::uint64_t symbolSize = wide ? 24 : 16, infoAt = wide ? 4 : 12;
    const std::uint64_t dynamicSize = 2 * std::uint64_t(word);
    for (const Section& section : sections) {
        if ((section.type != kDynamicSymbols && section.type != kDynamicSection) || section.link >= count ||
            !Inside(file, section.offset, section.size))
            continue;
        const Section& strings = sections[section.link];
        if (!Inside(file, strings.offset, strings.size)) continue;
        if (section.type == kDynamicSymbols) {
            if (section.entrySize < symbolSize || section.size < symbolSize) continue;
            // By index, never by adding the file's entry size to an offset:
            // whatever size the file claims, each entry lies in the section.
            const std::uint64_t symbols = (section.size - symbolSize) / section.entrySize + 1;
            for (std::uint64_t i = 0; i < symbols && library->exports.size() < kMostElfNames; ++i) {
                const std::uint64_t at = section.offset + i * section.entrySize;
                const std::uint64_t binding = ReadLittle(file, at + infoAt, 1) >> 4;  // 1 global, 2 weak
                const std::uint64_t index = ReadLittle(file, at + infoAt + 2, 2);    // 0: undefined here
                const std::uint64_t nameAt = ReadLittle(file, at, 4);
                std::string name;
                if ((binding == 1 || binding == 2) && index != 0 && TextIn(file, strings, nameAt, &name))
                    library->exports.push_back(name);
            }
        } else {
            for (std::uint64_t at = section.offset; at + dynamicSize <= section.offset + section.size &&
                                                    library->needed.size() < kMostElfNames;
                 at += dynamicSize) {
                const std::uint64_t tag = ReadLittle(file, at, word);
                if (tag == 0) break;  // DT_NULL
                const std::uint64_t value = ReadLittle(file, at + word, word);
                std::string name;
                if (tag == kNeeded && TextIn(file, strings, value, &name))
                    library->needed.push_back(name);
                else if (tag == kSoname && TextIn(file, strings, value, &name))
                    library->soname = name;
            }
        }
    }
    return true;
}

}  // namespace driver
