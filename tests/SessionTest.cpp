// One whole session as a server-side application runs it, through the real
// module and the simulator driver, compared with the checked-in transcript.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <tuple>

#include "tests/support/EngineModules.h"
#include "tests/support/TestSupport.h"
#include "tools/host/Engine.h"

namespace {

struct Transcript {
    std::vector<std::string> commands;
    std::string text;  // "> command" and "< response" lines, comments dropped
};

Transcript ReadTranscript(const std::string& path) {
    Transcript transcript;
    std::istringstream file(testing_support::ReadFile(path));
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (line.compare(0, 2, "> ") == 0) transcript.commands.push_back(line.substr(2));
        transcript.text += line + "\n";
    }
    return transcript;
}

// The Windows engine with queued writes or HPC, or the Linux engine (its
// stand-in with a module built for it: natively only); commands inside the write hook with the driver
// in-process, on the instrument thread in-process, or on the instrument
// thread with the driver in the driver host (no setting at all).
enum Road { kInsideTheHook, kInstrumentThread, kDriverHost };
enum Engine { kWindowsQueued, kWindowsHpc, kLinux };

class SessionTest : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(SessionTest, MatchesTheCheckedInTranscript) {
    const platform::CitrixEngine kind = std::get<0>(GetParam()) == kLinux
                                            ? platform::CitrixEngine::Linux
                                            : platform::CitrixEngine::Windows;
    if (kind != platform::ThisCitrixEngine() && kind != platform::CitrixEngine::Windows)
        GTEST_SKIP() << "no module for the Linux engine in this build";
    testing_support::ScopedTempFolder temp;
    // The driver host and the instrument thread are what a client has with
    // no setting; the road inside the hook is both turned off.
    std::unique_ptr<testing_support::AdminSetting> thread, isolate;
    if (std::get<1>(GetParam()) == kInsideTheHook)
        thread = std::make_unique<testing_support::AdminSetting>("InstrumentThread", 0);
    if (std::get<1>(GetParam()) != kDriverHost)
        isolate = std::make_unique<testing_support::AdminSetting>("IsolateDriver", 0);
    const Transcript expected =
        ReadTranscript(testing_support::ExecutableFolder() + "/expected/session.txt");
    ASSERT_GT(expected.commands.size(), 20u);

    standin::Engine engine(kind);
    engine.hpc = std::get<0>(GetParam()) == kWindowsHpc;
    std::string error;
    ASSERT_TRUE(engine.LoadModule(testing_support::IcaModuleFor(kind), &error)) << error;
    ASSERT_EQ(engine.Open(), 0);
    std::string actual;
    for (const std::string& command : expected.commands) {
        actual += "> " + command + "\n";
        for (const standin::SentResponse& sent : engine.Run("KstCmd1", command))
            actual += "< " + sent.bytes + "\n";
    }
    EXPECT_EQ(actual, expected.text);
    EXPECT_EQ(engine.offThreadSends, 0);
}

INSTANTIATE_TEST_SUITE_P(QueuedAndHpc, SessionTest,
                         ::testing::Combine(::testing::Values(kWindowsQueued, kWindowsHpc, kLinux),
                                            ::testing::Values(kInsideTheHook, kInstrumentThread,
                                                              kDriverHost)));

}  // namespace
