#include "tests/support/PeImage.h"

#include "tests/support/TestSupport.h"

namespace testing_support {

namespace {
void Put(std::string& image, std::size_t at, std::uint32_t value, int width) {
    if (image.size() < at + width) image.resize(at + width, '\0');
    for (int i = 0; i < width; ++i) image[at + i] = char(value >> (8 * i));
}
}  // namespace

std::string MakePeImage(std::uint16_t machine, const std::vector<std::string>& exports,
                        const std::vector<std::string>& imports) {
    constexpr std::uint32_t kPe = 0x80, kSectionRva = 0x1000, kRaw = 0x200;
    std::string image(kRaw, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    Put(image, 0x3C, kPe, 4);
    image.replace(kPe, 4, std::string("PE\0\0", 4));
    const bool plus = machine != 0x014C;
    const std::uint32_t optionalSize = (plus ? 112 : 96) + 16 * 8;
    Put(image, kPe + 4, machine, 2);
    Put(image, kPe + 6, 1, 2);  // one section
    Put(image, kPe + 20, optionalSize, 2);
    const std::uint32_t optional = kPe + 24;
    Put(image, optional, plus ? 0x20B : 0x10B, 2);

    // The section's data: the export directory, the name table, the names.
    std::string data(40, '\0');
    const std::uint32_t table = 40, strings = table + 4 * std::uint32_t(exports.size());
    data.resize(strings, '\0');
    for (std::size_t i = 0; i < exports.size(); ++i) {
        Put(data, table + 4 * i, kSectionRva + std::uint32_t(data.size()), 4);
        data += exports[i];
        data += '\0';
    }
    Put(data, 24, std::uint32_t(exports.size()), 4);
    Put(data, 32, kSectionRva + table, 4);

    const std::uint32_t exportSize = std::uint32_t(data.size());
    // The import descriptors (20 bytes, the name at 12, then one of zeros), then their names.
    const std::uint32_t descriptors = exportSize;
    data.resize(descriptors + 20 * (imports.size() + 1), '\0');
    for (std::size_t i = 0; i < imports.size(); ++i) {
        Put(data, descriptors + 20 * i + 12, kSectionRva + std::uint32_t(data.size()), 4);
        data += imports[i];
        data += '\0';
    }

    const std::uint32_t directory = optional + (plus ? 112 : 96);
    Put(image, directory, exports.empty() ? 0 : kSectionRva, 4);
    Put(image, directory + 4, exportSize, 4);
    Put(image, directory + 8, imports.empty() ? 0 : kSectionRva + descriptors, 4);
    Put(image, directory + 12, 20 * std::uint32_t(imports.size() + 1), 4);
    const std::uint32_t section = optional + optionalSize;
    image.replace(section, 6, ".edata");
    Put(image, section + 8, std::uint32_t(data.size()), 4);   // virtual size
    Put(image, section + 12, kSectionRva, 4);                 // virtual address
    Put(image, section + 16, std::uint32_t(data.size()), 4);  // raw size
    Put(image, section + 20, kRaw, 4);                        // raw offset
    image.resize(kRaw, '\0');
    return image + data;
}

std::string MakeElfHeader(std::uint16_t machine, char elfClass, char order) {
    std::string header(64, '\0');
    header.replace(0, 4, "\x7F" "ELF");
    header[4] = elfClass;
    header[5] = order;
    header[16] = 3;  // ET_DYN
    header[18] = char(machine & 0xFF);
    header[19] = char(machine >> 8);
    return header;
}

std::string LibraryHeader(std::uint16_t peMachine, std::uint16_t elfMachine, char elfClass) {
    return OnWindows() ? MakePeImage(peMachine, {}) : MakeElfHeader(elfMachine, elfClass);
}

}  // namespace testing_support
