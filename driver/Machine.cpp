#include "driver/Machine.h"

#include <cstdint>

#include "driver/LittleEndian.h"
#include "platform/File.h"
#include "platform/HostProcess.h"
#include "platform/Names.h"

namespace driver {

namespace {

Machine OfPe(const std::string& file) {
    if (file.size() < kPeOffsetField + 4) return Machine::Unknown;
    const std::uint32_t pe = ReadLittle32(file, kPeOffsetField, 4);
    // "PE\0\0", then the COFF header's machine field.
    if (pe > file.size() || file.size() - pe < 6 || file.compare(pe, 4, std::string("PE\0\0", 4)) != 0)
        return Machine::Unknown;
    switch (ReadLittle32(file, pe + 4, 2)) {
        case 0x014C: return Machine::I386;
        case 0x8664: return Machine::Amd64;
        case 0xAA64: return Machine::Arm64;  // ARM64X images say ARM64 here too
        case 0x01C4: return Machine::Arm;    // ARMNT, Thumb-2
        case 0xA641: return Machine::Arm64EC;
        default: return Machine::Unknown;
    }
}

// A 32-bit ARM file's float convention, from e_flags (EABI 5): soft-float
// only where the file says so; a file that says neither is left to the loader.
Machine OfArmFlags(const std::string& file) {
    constexpr std::size_t kFlagsField = 36;  // e_flags of a 32-bit header
    constexpr std::uint32_t kHardFloat = 0x400, kSoftFloat = 0x200;
    if (file.size() < kFlagsField + 4) return Machine::Arm;
    const std::uint32_t flags = ReadLittle32(file, kFlagsField, 4);
    return (flags & kSoftFloat) != 0 && (flags & kHardFloat) == 0 ? Machine::ArmSoftFloat : Machine::Arm;
}

Machine OfElf(const std::string& file) {
    constexpr std::size_t kMachineField = 18;  // e_machine, after e_ident and e_type
    if (file.size() < kMachineField + 2 || file[5] != 1) return Machine::Unknown;  // little-endian only
    const int width = file[4] == 1 ? 32 : file[4] == 2 ? 64 : 0;
    switch (ReadLittle32(file, kMachineField, 2)) {
        case 3: return width == 32 ? Machine::I386 : Machine::Unknown;     // EM_386
        case 62: return width == 64 ? Machine::Amd64 : Machine::Unknown;   // EM_X86_64
        case 183: return width == 64 ? Machine::Arm64 : Machine::Unknown;  // EM_AARCH64
        case 40: return width == 32 ? OfArmFlags(file) : Machine::Unknown;  // EM_ARM
        default: return Machine::Unknown;
    }
}

}  // namespace

Machine MachineOfFile(const std::string& fileStart) {
    if (fileStart.compare(0, 2, "MZ") == 0) return OfPe(fileStart);
    if (fileStart.compare(0, 4, "\x7F" "ELF") == 0) return OfElf(fileStart);
    return Machine::Unknown;
}

Machine OwnMachine() {
#if defined(__x86_64__) || defined(_M_X64)
    return Machine::Amd64;
#elif defined(__i386__) || defined(_M_IX86)
    return Machine::I386;
#elif defined(__aarch64__) || defined(_M_ARM64)
    return Machine::Arm64;
#elif defined(__arm__) || defined(_M_ARM)
    return Machine::Arm;
#else
    return Machine::Unknown;
#endif
}

const char* MachineName(Machine machine) {
    switch (machine) {
        case Machine::I386: return "i386";
        case Machine::Amd64: return "x86-64";
        case Machine::Arm64: return "arm64";
        case Machine::Arm: return "arm";
        case Machine::Arm64EC: return "arm64ec";
        case Machine::ArmSoftFloat: return "arm (soft-float)";
        default: return "unknown";
    }
}

int MachineBits(Machine machine) {
    switch (machine) {
        case Machine::I386:
        case Machine::Arm:
        case Machine::ArmSoftFloat: return 32;
        case Machine::Amd64:
        case Machine::Arm64:
        case Machine::Arm64EC: return 64;
        default: return 0;
    }
}

bool RunsHere(Machine machine) {
    const Machine own = OwnMachine();
    const bool otherX86 = (own == Machine::I386 && machine == Machine::Amd64) ||
                          (own == Machine::Amd64 && machine == Machine::I386);
    return machine == own || (otherX86 && platform::kOtherX86DriverHost);
}

std::string OtherMachineWords(Machine machine) {
    return std::string("the driver is for ") + MachineName(machine) + "; this client is " + MachineName(OwnMachine()) +
           ", and no driver host for " + MachineName(machine) + " ships with it";
}

bool OtherX86Width(Machine machine) {
    const auto x86 = [](Machine m) { return m == Machine::I386 || m == Machine::Amd64; };
    return machine != OwnMachine() && x86(machine) && x86(OwnMachine());
}

std::string DriverHostFile(int bits) {
    return names::kDriverHostPrefix + std::to_string(bits) + platform::kProgramSuffix;
}

}  // namespace driver
