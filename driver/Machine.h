// The machine a library or program is built for, read from its PE or ELF
// header before anything loads it, and the machine this process runs as:
// where a driver can run follows from the two (never from a bitness alone:
// an arm64 client cannot load an x86-64 driver of the same width).
#pragma once

#include <string>

namespace driver {

// Arm is 32-bit ARM with the hard-float calling convention (armhf, and every
// 32-bit ARM Windows); ArmSoftFloat an ELF file built for soft-float (armel),
// which an armhf process cannot load.
enum class Machine { Unknown, I386, Amd64, Arm64, Arm, Arm64EC, ArmSoftFloat };

// From the first bytes of a file (kPeHeaderBytes are enough): a PE file's
// COFF machine, or an ELF file's e_machine; Unknown for anything else.
Machine MachineOfFile(const std::string& fileStart);
// The machine this code was built for.
Machine OwnMachine();
// In words: "i386", "x86-64", "arm64", "arm", "arm64ec", "arm (soft-float)",
// "unknown".
const char* MachineName(Machine machine);
// 32 or 64; 0 for Unknown.
int MachineBits(Machine machine);
// Whether a driver of `machine` runs here: one of this process's machine, or
// of the other x86 width where its driver host ships (Windows).
bool RunsHere(Machine machine);
// Why one that does not run here is refused, naming both machines: "the
// driver is for arm64; this client is x86-64, and no driver host for arm64
// ships with it".
std::string OtherMachineWords(Machine machine);
// Whether `machine` is the other x86 width on an x86 client: words name
// such a library by its width ("32-bit") rather than by its machine.
bool OtherX86Width(Machine machine);
// The driver host program for drivers of a width (32 or 64):
// "KestavDriverHost64.exe" on Windows, "KestavDriverHost64" on Linux.
std::string DriverHostFile(int bits);

}  // namespace driver
