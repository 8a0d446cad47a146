// Reading a library's kind and exports from its PE headers, before anything
// loads it: every field checked, nothing read past the bytes given.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "driver/LibraryBitness.h"
#include "tests/support/PeImage.h"

using driver::ExportedNames;
using driver::ImportedLibraries;
using driver::LibraryBitness;
using testing_support::MakePeImage;

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
