// Deliberately broken: the first test starts and joins a thread, the second
// crashes. Under Wine such a program can exit 0; the test command must still
// report it as failed. Run only by the test command's self-check.
#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(CrashSelfCheck, AThreadComesAndGoes) {
    int value = 0;
    std::thread([&value] { value = 1; }).join();
    EXPECT_EQ(value, 1);
}

TEST(CrashSelfCheck, ThenTheProgramCrashes) {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
}

TEST(CrashSelfCheck, NeverReached) { SUCCEED(); }

}  // namespace
