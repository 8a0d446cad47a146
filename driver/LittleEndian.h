// Numbers in the little-endian byte order of PE and ELF files, read from a
// file's bytes at an offset the caller has checked lies inside them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace driver {

// Where a PE file's DOS header keeps the offset of its PE header (e_lfanew).
constexpr std::size_t kPeOffsetField = 0x3C;

// `width` bytes (at most 8) from `at`.
inline std::uint64_t ReadLittle(const std::string& bytes, std::uint64_t at, int width) {
    std::uint64_t value = 0;
    for (int i = 0; i < width; ++i)
        value |= std::uint64_t(static_cast<unsigned char>(bytes[std::size_t(at) + i])) << (8 * i);
    return value;
}

// The same for fields of at most 4 bytes.
inline std::uint32_t ReadLittle32(const std::string& bytes, std::size_t at, int width) {
    return std::uint32_t(ReadLittle(bytes, at, width));
}

}  // namespace driver
