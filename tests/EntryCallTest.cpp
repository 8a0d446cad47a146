// Calling a driver's entry point through its address: both 32-bit calling
// conventions come back with the stack as it was, the helper tells them apart
// by the bytes the callee removed, and the results arrive intact.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/CallingConvention.h"
#include "platform/EntryCall.h"

namespace {

extern "C" {
std::uint32_t KST_CDECL CdeclSum(std::uint32_t a, std::uint32_t b) { return a + 10 * b; }
#if defined(_WIN32) && !defined(_WIN64)
std::uint32_t __stdcall StdcallSum(std::uint32_t a, std::uint32_t b) { return a + 10 * b; }
float __stdcall StdcallHalf(std::int32_t a) { return float(a) / 2.0f; }
std::uint32_t __stdcall StdcallNone() { return 42; }
#endif
}

TEST(EntryCall, ResultsAndArgumentsArriveIntact) {
    std::uint32_t removed = 99;
    EXPECT_EQ((platform::CallEntry<std::uint32_t, std::uint32_t, std::uint32_t>(
                  reinterpret_cast<const void*>(&CdeclSum), &removed, 3u, 4u)),
              43u);
    EXPECT_EQ(removed, 0u) << "the caller removes cdecl arguments";
}

#if defined(_WIN32) && !defined(_WIN64)

extern "C" {
// Calls kst_CallWords as any C caller would and stores in *drift how far the
// stack pointer moved across the whole call: 0 when the helper left the stack
// as it found it, whatever the callee took off.
std::uint32_t kst_test_CallAndMeasure(const void* entry, const std::uint32_t* words,
                                      std::uint32_t count, std::uint32_t* removed,
                                      std::int32_t* drift);
}
asm(R"(
    .text
    .globl _kst_test_CallAndMeasure
_kst_test_CallAndMeasure:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    movl %esp, %ebx
    pushl 20(%ebp)
    pushl 16(%ebp)
    pushl 12(%ebp)
    pushl 8(%ebp)
    call _kst_CallWords
    addl $16, %esp
    movl %esp, %ecx
    subl %ebx, %ecx
    movl 24(%ebp), %edx
    movl %ecx, (%edx)
    popl %ebx
    popl %ebp
    ret
)");

TEST(EntryCall, TheStackIsAsItWasAfterEitherConvention) {
    const std::uint32_t words[] = {3, 4};
    struct Case {
        const char* what;
        const void* entry;
        std::uint32_t count;
        std::uint32_t removed;
        std::uint32_t result;
    };
    const Case cases[] = {
        {"cdecl, two arguments", reinterpret_cast<const void*>(&CdeclSum), 2, 0, 43},
        {"stdcall, two arguments", reinterpret_cast<const void*>(&StdcallSum), 2, 8, 43},
        {"stdcall, none", reinterpret_cast<const void*>(&StdcallNone), 0, 0, 42},
    };
    for (const Case& c : cases) {
        for (int repeat = 0; repeat < 100; ++repeat) {
            std::uint32_t removed = 99;
            std::int32_t drift = 99;
            EXPECT_EQ(kst_test_CallAndMeasure(c.entry, words, c.count, &removed, &drift), c.result)
                << c.what;
            ASSERT_EQ(drift, 0) << c.what << ": the stack pointer moved";
            ASSERT_EQ(removed, c.removed) << c.what;
        }
    }
}

TEST(EntryCall, FloatsComeBackFromEitherConvention) {
    std::uint32_t removed = 99;
    EXPECT_EQ((platform::CallEntry<float, std::int32_t>(reinterpret_cast<const void*>(&StdcallHalf),
                                                       &removed, 7)),
              3.5f);
    EXPECT_EQ(removed, 4u);
}

#endif

}  // namespace
