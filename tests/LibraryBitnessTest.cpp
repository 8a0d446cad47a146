// Reading a library's kind and exports from its PE headers, before anything
// loads it: every field checked, nothing read past the bytes given.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "driver/LibraryBitness.h"
#include "driver/Machine.h"
#include "tests/support/PeImage.h"

using driver::ExportedNames;
using driver::ImportedLibraries;
using driver::LibraryBitness;
using testing_support::MakePeImage;
using testing_support::MakeElfHeader;

namespace {

constexpr std::uint16_t kI386 = 0x014C, kAmd64 = 0x8664, kArm64 = 0xAA64, kIa64 = 0x0200;

TEST(LibraryBitness, TheMachineFieldDecides) {
    struct Case {
        std::uint16_t machine;
        int bits;
    };
    for (const Case& c : {Case{kI386, 32}, Case{kAmd64, 64}, Case{kArm64, 0}, Case{kIa64, 0},
                          Case{0, 0}}) {
        EXPECT_EQ(LibraryBitness(MakePeImage(c.machine, {})), c.bits) << std::hex << c.machine;
    }
}

TEST(MachineOfFile, ThePeOrElfHeaderNamesIt) {
    using driver::Machine;
    const auto ArmFlags = [](const char* flags) { return MakeElfHeader(40, 1).replace(36, 4, flags, 4); };
    const struct {
        std::string file;
        Machine machine;
    } cases[] = {
        {MakePeImage(kI386, {}), Machine::I386},   {MakePeImage(kAmd64, {}), Machine::Amd64},
        {MakePeImage(kArm64, {}), Machine::Arm64}, {MakePeImage(0x01C4, {}), Machine::Arm},
        {MakePeImage(0xA641, {}), Machine::Arm64EC}, {MakePeImage(kIa64, {}), Machine::Unknown},
        {MakeElfHeader(3, 1), Machine::I386},          {MakeElfHeader(62, 2), Machine::Amd64},
        {MakeElfHeader(183, 2), Machine::Arm64},       {MakeElfHeader(40, 1), Machine::Arm},
        // 32-bit ARM by its float convention (e_flags): armhf, armel, one that says both.
        {ArmFlags("\x00\x04\x00\x05"), Machine::Arm}, {ArmFlags("\x00\x02\x00\x05"), Machine::ArmSoftFloat},
        {ArmFlags("\x00\x06\x00\x05"), Machine::Arm}, {MakeElfHeader(40, 1).substr(0, 38), Machine::Arm},
        {MakeElfHeader(62, 1), Machine::Unknown},      {MakeElfHeader(183, 1), Machine::Unknown},
        {MakeElfHeader(183, 2, 2), Machine::Unknown},  {MakeElfHeader(183, 2).substr(0, 19), Machine::Unknown},
        {"", Machine::Unknown},                    {"#!/bin/sh\n", Machine::Unknown},
    };
    for (const auto& c : cases)
        EXPECT_EQ(driver::MachineOfFile(c.file), c.machine) << driver::MachineName(c.machine) << " " << c.file.size();
    EXPECT_EQ(driver::MachineBits(driver::OwnMachine()), int(sizeof(void*) * 8));
}

TEST(LibraryBitness, BrokenHeadersAreRefused) {
    const std::string good = MakePeImage(kI386, {});
    // Cut short anywhere before the machine field is complete.
    const std::size_t pe = 0x80;  // where MakePeImage puts the PE signature
    for (std::size_t size = 0; size < pe + 6; ++size)
        EXPECT_EQ(LibraryBitness(good.substr(0, size)), 0) << "cut at " << size;
    EXPECT_EQ(LibraryBitness(good.substr(0, pe + 6)), 32) << "just enough";

    std::string noMz = good;
    noMz[0] = 'Z';
    EXPECT_EQ(LibraryBitness(noMz), 0);
    std::string noSignature = good;
    noSignature[pe + 1] = 'X';
    EXPECT_EQ(LibraryBitness(noSignature), 0);
    for (std::uint32_t lfanew : {std::uint32_t(good.size()), std::uint32_t(good.size() - 5),
                                 0xFFFFFFF0u, 0xFFFFFFFFu}) {
        std::string past = good;
        for (int i = 0; i < 4; ++i) past[0x3C + i] = char(lfanew >> (8 * i));
        EXPECT_EQ(LibraryBitness(past), 0) << "e_lfanew " << lfanew;
        EXPECT_TRUE(ExportedNames(past).empty()) << "e_lfanew " << lfanew;
    }
}

TEST(ExportedNames, BothFormsListTheirNames) {
    const std::vector<std::string> names = {"Connect", "_Measure@0", "GetSpectralData"};
    EXPECT_EQ(ExportedNames(MakePeImage(kI386, names)), names);
    EXPECT_EQ(ExportedNames(MakePeImage(kAmd64, names)), names);
    EXPECT_TRUE(ExportedNames(MakePeImage(kAmd64, {})).empty());
}

TEST(ExportedNames, AFileCutShortAnywhereGivesNoMoreThanItHolds) {
    const std::vector<std::string> names = {"Connect", "Disconnect", "Measure"};
    const std::string image = MakePeImage(kAmd64, names);
    for (std::size_t size = 0; size < image.size(); ++size) {
        const std::vector<std::string> found = ExportedNames(image.substr(0, size));
        ASSERT_LE(found.size(), names.size()) << size;
        for (std::size_t i = 0; i < found.size(); ++i) EXPECT_EQ(found[i], names[i]) << size;
    }
}

TEST(ImportedLibraries, BothFormsListTheLibrariesTheyNeed) {
    const std::vector<std::string> libraries = {"KERNEL32.dll", "libgcc_s_dw2-1.dll", "maker-io.dll"};
    EXPECT_EQ(ImportedLibraries(MakePeImage(kI386, {"Connect"}, libraries)), libraries);
    EXPECT_EQ(ImportedLibraries(MakePeImage(kAmd64, {}, libraries)), libraries);
    EXPECT_TRUE(ImportedLibraries(MakePeImage(kAmd64, {"Connect"})).empty());
    // The exports are read alike beside them.
    EXPECT_EQ(ExportedNames(MakePeImage(kI386, {"Connect"}, libraries)), std::vector<std::string>{"Connect"});
}

TEST(ImportedLibraries, AFileCutShortOrWithoutItsEndGivesNoMoreThanItHolds) {
    const std::vector<std::string> libraries = {"KERNEL32.dll", "probe-dep.dll"};
    const std::string image = MakePeImage(kI386, {"Connect"}, libraries);
    for (std::size_t size = 0; size < image.size(); ++size) {
        const std::vector<std::string> found = ImportedLibraries(image.substr(0, size));
        ASSERT_LE(found.size(), libraries.size()) << size;
        for (std::size_t i = 0; i < found.size(); ++i) EXPECT_EQ(found[i], libraries[i]) << size;
    }
    // A table longer than any library has: read up to the bound.
    const std::vector<std::string> many(driver::kMostImports + 10, "x.dll");
    EXPECT_EQ(ImportedLibraries(MakePeImage(kAmd64, {}, many)).size(), driver::kMostImports);
}

}  // namespace
