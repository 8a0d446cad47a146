// The instrument thread itself, with threads whose waits really time out on
// every platform: numbering and the newest-only rule, one command at a time,
// and the ways a stop can go.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "relay/InstrumentThread.h"

using relay::InstrumentThread;
using relay::ThreadOps;

namespace {

// std::thread behind the ThreadOps the class takes.
struct TestThread {
    std::thread thread;
    std::shared_future<void> done;
};

std::atomic<int> startsAllowed{1000000};

void* Start(void (*body)(void*), void* argument) {
    if (startsAllowed.fetch_sub(1) <= 0) return nullptr;
    auto* t = new TestThread;
    std::promise<void> finished;
    t->done = finished.get_future().share();
    t->thread = std::thread([body, argument, promise = std::move(finished)]() mutable {
        body(argument);
        promise.set_value();
    });
    return t;
}
bool Wait(void* thread, std::uint32_t timeoutMs) {
    auto* t = static_cast<TestThread*>(thread);
    return t->done.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;
}
void Release(void* thread) {
    auto* t = static_cast<TestThread*>(thread);
    t->thread.detach();  // a thread still running goes on by itself
    delete t;
}
const ThreadOps kTestThreads = {&Start, &Wait, &Release};

// A latch the runner waits on, so that a test decides when a command ends.
class Latch {
public:
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        opened_.notify_all();
    }
    void Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        opened_.wait(lock, [this] { return open_; });
    }
    void Close() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = false;
    }

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

// Records what the thread hands on and how commands ran.
class Recorder {
public:
    // Commands starting with "wait" block on the latch.
    std::string Run(const std::string& command) {
        const int now = ++active;
        int seen = maximumActive.load();
        while (now > seen && !maximumActive.compare_exchange_weak(seen, now)) {
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            started.push_back(command);
        }
        startedOne.notify_all();
        if (command.compare(0, 4, "wait") == 0) latch.Wait();
        --active;
        return "R:" + command;
    }
    void Ready(const std::string&, const std::string& response) {
        std::lock_guard<std::mutex> lock(mutex);
        handedOn.push_back(response);
        handedOnOne.notify_all();
    }
    void Superseded() { ++superseded; }

    bool WaitStarted(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return startedOne.wait_for(lock, std::chrono::seconds(10),
                                   [&] { return started.size() >= count; });
    }
    bool WaitStartedCommand(const std::string& command, std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return startedOne.wait_for(lock, std::chrono::seconds(10), [&] {
            return std::size_t(std::count(started.begin(), started.end(), command)) >= count;
        });
    }
    bool WaitHandedOn(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return handedOnOne.wait_for(lock, std::chrono::seconds(10),
                                    [&] { return handedOn.size() >= count; });
    }
    std::vector<std::string> HandedOn() {
        std::lock_guard<std::mutex> lock(mutex);
        return handedOn;
    }

    Latch latch;
    std::atomic<int> active{0}, maximumActive{0}, superseded{0};

private:
    std::mutex mutex;
    std::condition_variable startedOne, handedOnOne;
    std::vector<std::string> started, handedOn;
};

class InstrumentThreadUnitTest : public ::testing::Test {
protected:
    void TearDown() override {
        recorder.latch.Open();
        std::vector<std::string> dropped;
        // Ends whatever still runs before the object goes.
        for (int i = 0; i < 100 && !thread.Stop(100, &dropped, {}); ++i) {
        }
        startsAllowed = 1000000;
    }

    Recorder recorder;
    InstrumentThread thread{[this](const std::string& c) { return recorder.Run(c); },
                            [this](const std::string& c, const std::string& r) { recorder.Ready(c, r); },
                            [this] { recorder.Superseded(); }, {}, kTestThreads};
};

TEST_F(InstrumentThreadUnitTest, OnlyTheNewestCommandsResponseIsHandedOn) {
    EXPECT_TRUE(thread.Post("wait-first"));
    ASSERT_TRUE(recorder.WaitStarted(1));
    EXPECT_TRUE(thread.Post("second"));
    EXPECT_TRUE(thread.Post("third"));
    EXPECT_EQ(recorder.superseded, 3) << "each arrival drops what was not sent yet";
    recorder.latch.Open();
    ASSERT_TRUE(recorder.WaitHandedOn(1));
    std::vector<std::string> dropped;
    EXPECT_TRUE(thread.Stop(5000, &dropped, {}));
    EXPECT_EQ(recorder.HandedOn(), std::vector<std::string>{"R:third"});
    EXPECT_TRUE(dropped.empty());
}

TEST_F(InstrumentThreadUnitTest, NeverTwoCommandsAtOnce) {
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t)
        posters.emplace_back([this, t] {
            for (int i = 0; i < 200; ++i) EXPECT_TRUE(thread.Post("c" + std::to_string(t)));
            (void)thread.RunHere("here");
        });
    for (std::thread& poster : posters) poster.join();
    std::vector<std::string> dropped;
    EXPECT_TRUE(thread.Stop(10000, &dropped, {}));
    EXPECT_EQ(recorder.maximumActive, 1);
}

// A command run on the caller's thread (commands inside the engine's write)
// keeps both rules: it waits for the thread's command to end before it runs,
// and its response is not handed on once a newer command has arrived.
TEST_F(InstrumentThreadUnitTest, ACommandRunHereKeepsBothRules) {
    EXPECT_TRUE(thread.Post("wait-on-the-thread"));
    ASSERT_TRUE(recorder.WaitStarted(1));
    std::string here;
    std::thread caller([&] { here = thread.RunHere("wait-here"); });
    // Time for it to start beside the thread's command, were it allowed to.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    recorder.latch.Open();
    ASSERT_TRUE(recorder.WaitStartedCommand("wait-here", 1));
    caller.join();
    EXPECT_EQ(recorder.maximumActive, 1) << "it ran beside the thread's command";
    EXPECT_EQ(here, "R:wait-here");

    recorder.latch.Close();
    const std::size_t before = recorder.HandedOn().size();
    std::thread slow([&] { here = thread.RunHere("wait-here-again"); });
    ASSERT_TRUE(recorder.WaitStartedCommand("wait-here-again", 1));
    EXPECT_TRUE(thread.Post("newer"));  // arrives while it runs
    recorder.latch.Open();
    slow.join();
    EXPECT_EQ(here, "R:wait-here-again") << "its caller gets it all the same";
    ASSERT_TRUE(recorder.WaitHandedOn(before + 1));
    std::vector<std::string> dropped;
    EXPECT_TRUE(thread.Stop(5000, &dropped, {}));
    const auto handedOn = recorder.HandedOn();
    EXPECT_EQ(std::vector<std::string>(handedOn.begin() + std::ptrdiff_t(before), handedOn.end()),
              std::vector<std::string>{"R:newer"});
}

TEST_F(InstrumentThreadUnitTest, AStopThatGivesUpLeavesTheCleanUpToTheThread) {
    EXPECT_TRUE(thread.Post("wait"));
    ASSERT_TRUE(recorder.WaitStarted(1));
    EXPECT_TRUE(thread.Post("queued"));
    std::vector<std::string> dropped;
    std::atomic<int> cleanedUp{0};
    EXPECT_FALSE(thread.Stop(20, &dropped, [&] { cleanedUp += 1; }));
    EXPECT_EQ(dropped, std::vector<std::string>{"queued"});
    // A second stop waits for the same thread again and gives up again: it
    // never takes the thread for ended while it still runs the command.
    EXPECT_FALSE(thread.Stop(20, &dropped, [&] { cleanedUp += 10; }));
    EXPECT_EQ(cleanedUp, 0) << "nothing is released under the running command";
    recorder.latch.Open();
    EXPECT_TRUE(thread.Stop(5000, &dropped, {}));
    EXPECT_EQ(cleanedUp, 11) << "both stops' clean-ups ran, once, after the command";
    EXPECT_TRUE(recorder.HandedOn().empty()) << "the queued command superseded it";
}

TEST_F(InstrumentThreadUnitTest, APostAfterAnAbandonedStopGivesTheThreadNewWork) {
    EXPECT_TRUE(thread.Post("wait"));
    ASSERT_TRUE(recorder.WaitStarted(1));
    std::vector<std::string> dropped;
    bool cleanedUp = false;
    EXPECT_FALSE(thread.Stop(20, &dropped, [&] { cleanedUp = true; }));
    EXPECT_TRUE(thread.Post("after"));  // a new session before the old command ended
    recorder.latch.Open();
    ASSERT_TRUE(recorder.WaitHandedOn(1));
    EXPECT_EQ(recorder.HandedOn(), std::vector<std::string>{"R:after"});
    EXPECT_TRUE(thread.Stop(5000, &dropped, {}));
    EXPECT_FALSE(cleanedUp) << "the session went on: nothing to release";
}

TEST_F(InstrumentThreadUnitTest, WithoutAThreadTheCommandRunsAtOnce) {
    startsAllowed = 0;
    EXPECT_TRUE(thread.Post("first"));
    EXPECT_EQ(recorder.HandedOn(), std::vector<std::string>{"R:first"}) << "before Post returned";
    EXPECT_EQ(thread.RunHere("second"), "R:second");
    EXPECT_EQ(recorder.HandedOn(), (std::vector<std::string>{"R:first", "R:second"}));
    std::vector<std::string> dropped;
    EXPECT_TRUE(thread.Stop(0, &dropped, {}));
}

TEST_F(InstrumentThreadUnitTest, AStoppedThreadIsStartedAgainByTheNextCommand) {
    for (int round = 0; round < 3; ++round) {
        EXPECT_TRUE(thread.Post("c" + std::to_string(round)));
        ASSERT_TRUE(recorder.WaitHandedOn(std::size_t(round) + 1));
        std::vector<std::string> dropped;
        EXPECT_TRUE(thread.Stop(5000, &dropped, {}));
        EXPECT_TRUE(dropped.empty());
    }
    EXPECT_EQ(recorder.HandedOn(), (std::vector<std::string>{"R:c0", "R:c1", "R:c2"}));
}

// What waits is bounded by count and by bytes; a command beyond either is
// refused without a trace in the queue, and HandOn answers it at once as the
// newest command.
TEST(InstrumentThreadBounds, RefusedBeyondEitherBoundAndAnsweredAtOnce) {
    struct Case {
        std::size_t commands, bytes;
        std::vector<std::string> posted;
        std::vector<bool> accepted;
    };
    const Case cases[] = {
        {2, 1000, {"wait", "a", "b", "c"}, {true, true, true, false}},
        {10, 5, {"wait", "aaa", "bbb", "cc", "d"}, {true, true, false, true, false}},
        {10, 4, {"wait", "abcd", "e"}, {true, true, false}},
    };
    for (const Case& c : cases) {
        Recorder recorder;
        InstrumentThread thread{[&](const std::string& command) { return recorder.Run(command); },
                                [&](const std::string&, const std::string& r) { recorder.Ready("", r); },
                                [&] { recorder.Superseded(); }, {}, kTestThreads, {c.commands, c.bytes}};
        for (std::size_t i = 0; i < c.posted.size(); ++i) {
            EXPECT_EQ(thread.Post(c.posted[i]), c.accepted[i]) << c.posted[i];
            // The running command leaves the queue before the rest is posted.
            if (i == 0) {
                ASSERT_TRUE(recorder.WaitStarted(1));
            }
            if (!c.accepted[i]) thread.HandOn(c.posted[i], "refused " + c.posted[i]);
        }
        EXPECT_EQ(recorder.HandedOn().back(), "refused " + c.posted.back()) << "handed on before HandOn returned";
        recorder.latch.Open();
        std::vector<std::string> dropped;
        EXPECT_TRUE(thread.Stop(5000, &dropped, {}));
        // Only refusals were handed on: each was the newest when it came.
        for (const std::string& response : recorder.HandedOn()) EXPECT_EQ(response.rfind("refused ", 0), 0u);
    }
}

// What a stop drops no longer counts against the bound: a session after it
// has the whole room again.
TEST(InstrumentThreadBounds, ACommandsDroppedAtAStopFreeTheirRoom) {
    Recorder recorder;
    InstrumentThread thread{[&](const std::string& command) { return recorder.Run(command); },
                            [&](const std::string&, const std::string& r) { recorder.Ready("", r); },
                            [&] { recorder.Superseded(); }, {}, kTestThreads, {10, 8}};
    for (int session = 0; session < 3; ++session) {
        ASSERT_TRUE(thread.Post("wait")) << session;
        // The previous session's "wait" has been counted already.
        ASSERT_TRUE(recorder.WaitStartedCommand("wait", std::size_t(session) + 1)) << session;
        EXPECT_TRUE(thread.Post("aaaa")) << session;
        EXPECT_TRUE(thread.Post("bbbb")) << session;
        EXPECT_FALSE(thread.Post("c")) << session << ": full";
        std::vector<std::string> dropped;
        recorder.latch.Open();
        EXPECT_TRUE(thread.Stop(5000, &dropped, {}));
        recorder.latch.Close();
    }
}

}  // namespace
