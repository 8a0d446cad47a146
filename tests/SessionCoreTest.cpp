// The session core as every transport uses it: the longest command, the
// bound on what waits for the instrument thread, and a refusal that answers
// at once while every accepted command still runs exactly once.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "diag/LogFile.h"
#include "diag/ModuleFolder.h"
#include "relay/Session.h"
#include "tests/support/TestSupport.h"

using relay::Session;
using testing_support::ScopedTempFolder;

namespace {

// What the session delivers, in order.
class Deliveries {
public:
    void Take(const std::string& response) {
        std::lock_guard<std::mutex> lock(mutex_);
        responses_.push_back(response);
        arrived_.notify_all();
    }
    // Waits until `response` has been delivered.
    bool WaitFor(const std::string& response) {
        std::unique_lock<std::mutex> lock(mutex_);
        return arrived_.wait_for(lock, std::chrono::seconds(60), [&] {
            for (const std::string& r : responses_)
                if (r == response) return true;
            return false;
        });
    }
    std::vector<std::string> All() {
        std::lock_guard<std::mutex> lock(mutex_);
        return responses_;
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::string> responses_;
};

class SessionCoreTest : public ::testing::Test {
protected:
    void SetUp() override { diag::SetModuleFolder(testing_support::ExecutableFolder()); }
    void TearDown() override { session.StopThenRelease(Session::Release::Driver); }
    // Once what waits has run: a Hello is taken (it is refused while the
    // queue is still full) and answered.
    bool Drained() {
        for (int i = 0; i < 6000; ++i) {
            const std::size_t before = deliveries.All().size();
            session.Submit("Hello");
            if (deliveries.All().size() == before) return deliveries.WaitFor("OK|Hello");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    ScopedTempFolder temp;
    Deliveries deliveries;
    Session session{[this](const std::string&, const std::string& r) { deliveries.Take(r); }, {}, {}};
};

std::string Unknown(const std::string& command) {
    return "ERROR|Unknown command \"" + command + "\"";
}

TEST_F(SessionCoreTest, ACommandLongerThanTheLongestIsAnsweredNotRun) {
    struct Case {
        std::size_t size;
        bool runs;
    };
    const Case cases[] = {{relay::kLongestCommand, true},
                          {relay::kLongestCommand + 1, false},
                          {300 * 1024, false},
                          {1400 * 1000, false}};
    for (const Case& c : cases) {
        const std::string command(c.size, 'X');
        const std::string expected =
            c.runs ? Unknown(command)
                   : "ERROR|Command too long (" + std::to_string(c.size) + " bytes, at most 65535)";
        EXPECT_EQ(session.Execute(command), expected) << c.size;
        // The same through the instrument thread, delivered as the newest.
        session.Submit(command);
        session.Submit("Hello");
        ASSERT_TRUE(deliveries.WaitFor("OK|Hello"));
        const std::vector<std::string> all = deliveries.All();
        EXPECT_EQ(all[all.size() - 2], expected) << c.size;
    }
    // Logged with its size; no line of the log carries the command whole.
    bool sizeLogged = false;
    for (const std::string& line : testing_support::ReadLines(temp.LogPath())) {
        EXPECT_LT(line.size(), 2 * diag::kShownBytes);
        if (line == "Virtual channel - Command of 1400000 bytes not run: \"ERROR|Command too long "
                    "(1400000 bytes, at most 65535)\"")
            sizeLogged = true;
    }
    EXPECT_TRUE(sizeLogged);
}

// A server writes 20,000 commands of 4,999 bytes while one command runs:
// what waits stays within its bound, every command beyond it is answered
// with an error at once, and every accepted command runs exactly once.
TEST_F(SessionCoreTest, AFloodWhileACommandRunsIsBoundedAndNothingAcceptedIsLost) {
    testing_support::RecordingDriver recording;
    ASSERT_EQ(session.Execute("Init|recording|"), "OK");
    recording.Reset();
    const std::string gate = temp.Path() + "/gate";
    ASSERT_EQ(session.Execute("SetOption|@fault|wait:" + gate + "|"), "OK|true");
    const std::size_t before = deliveries.All().size();
    session.Submit("Measure");
    const std::string padding(4999 - 20, 'p');
    const int flood = 20000;
    for (int i = 0; i < flood; ++i)
        session.Submit("SetOption|k|" + std::to_string(100000 + i) + "|" + padding + "|");
    // Only refusals are answered while the Measure waits.
    const std::vector<std::string> answered = deliveries.All();
    std::size_t refused = 0;
    for (std::size_t i = before; i < answered.size(); ++i)
        if (answered[i] == "ERROR|Too many commands waiting (at most 64 commands or 1048576 bytes)") ++refused;
    EXPECT_EQ(refused, answered.size() - before);
    EXPECT_GE(refused, std::size_t(flood) - 64) << "every command past the bound is refused";
    testing_support::WriteFile(gate, "open");
    ASSERT_TRUE(Drained());

    // What the driver was called with, one call a line.
    const std::string calls = recording.Calls();
    std::set<std::string> ran;
    const std::string prefix = "SetOption(\"k\",\"";
    for (std::size_t at = 0; (at = calls.find(prefix, at)) != std::string::npos; at += prefix.size())
        EXPECT_TRUE(ran.insert(calls.substr(at + prefix.size(), 6)).second) << "ran twice";
    EXPECT_LT(calls.find("Measure()\n"), calls.find(prefix)) << "the running command first";
    // 64 wait, or 63 beside the Measure if the thread had not taken it yet
    // (then one more is taken once it has).
    EXPECT_EQ(ran.size(), relay::kMostWaitingCommands);
    EXPECT_EQ(refused + ran.size(), std::size_t(flood)) << "each command either ran or was refused";
    for (std::size_t i = 0; i + 1 < relay::kMostWaitingCommands; ++i)
        EXPECT_EQ(ran.count(std::to_string(100000 + i)), 1u) << i;
}

TEST_F(SessionCoreTest, WaitingBytesAreBoundedToo) {
    testing_support::RecordingDriver recording;
    ASSERT_EQ(session.Execute("Init|recording|"), "OK");
    recording.Reset();
    const std::string gate = temp.Path() + "/gate";
    ASSERT_EQ(session.Execute("SetOption|@fault|wait:" + gate + "|"), "OK|true");
    session.Submit("Measure");
    // 16 commands of 64 KiB fill the bytes before the count.
    const std::string big = "SetOption|k|v|" + std::string(relay::kLongestCommand - 14, 'b');
    std::size_t accepted = 0;
    for (int i = 0; i < 40; ++i) {
        const std::size_t before = deliveries.All().size();
        session.Submit(big);
        if (deliveries.All().size() == before) ++accepted;
    }
    testing_support::WriteFile(gate, "open");
    EXPECT_EQ(accepted, relay::kMostWaitingBytes / relay::kLongestCommand);
    ASSERT_TRUE(Drained());
}

}  // namespace

namespace {

// The name of the module's load: answered at once, even while a command
// runs, the same for one session and another for the next load.
TEST_F(SessionCoreTest, TheInstanceIsAnsweredAtOnceAndNamesTheLoad) {
    testing_support::RecordingDriver recording;
    ASSERT_TRUE(recording.Loaded());
    session.Submit("Init|recording|");
    ASSERT_TRUE(deliveries.WaitFor("OK"));
    const std::string gate = temp.Path() + "/gate";
    session.Submit("SetOption|@fault|wait:" + gate + "|");
    ASSERT_TRUE(deliveries.WaitFor("OK|true"));
    session.Submit("Measure");  // waits at the gate
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::size_t before = deliveries.All().size();
    session.Submit(relay::InstanceQuery);
    const auto all = deliveries.All();
    ASSERT_EQ(all.size(), before + 1) << "answered before Submit returned, while Measure runs";
    const std::string name = all.back();
    EXPECT_TRUE(std::regex_match(name, std::regex("OK\\|[0-9a-f]{16}"))) << name;
    EXPECT_EQ(session.Execute(relay::InstanceQuery), name) << "the same for the same load";
    Session other{[](const std::string&, const std::string&) {}, {}, {}};
    EXPECT_NE(other.Execute(relay::InstanceQuery), name) << "another load, another name";
    testing_support::WriteFile(gate, "open");
    ASSERT_TRUE(Drained());
    // The Measure's response, superseded by the query, was never delivered.
    const auto after = deliveries.All();
    EXPECT_EQ(std::count(after.begin() + std::ptrdiff_t(before), after.end(), std::string("OK|true")), 0);
}

}  // namespace
