// The static channel plug-in, loaded by the stand-in static channel client
// as mstsc, Horizon's VC bridge and FreeRDP load it (each file that carries
// it, by either entry point): every command of the transcript, the longest
// response, chunks of any size, hostile chunk streams, write buffers held by
// the client, reconnection in mid-message, and the client's refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <sstream>

#include "platform/Library.h"
#include "tests/support/StaticChannelClient.h"
#include "tests/support/TestSupport.h"

using testing_support::StaticChannelClient;
using testing_support::StaticWrite;
using testing_support::LogMatches;
using testing_support::WaitUntil;
using Entry = StaticChannelClient::Entry;

namespace {

const char* const kCommand = "KstCmd1";
const char* const kData = "KstDta1";

struct Plugin {
    std::string file;
    Entry entry;
};

void PrintTo(const Plugin& plugin, std::ostream* out) {
    *out << plugin.file << (plugin.entry == Entry::Extended ? " by VirtualChannelEntryEx" : " by VirtualChannelEntry");
}

std::vector<Plugin> Plugins() {
    std::vector<Plugin> plugins;
    std::istringstream files(KST_STATIC_PLUGIN_FILES);  // the files that carry the plug-in, each ends in ','
    std::string file;
    while (std::getline(files, file, ','))
        if (!file.empty())
            for (const Entry entry : {Entry::Extended, Entry::Classic}) plugins.push_back(Plugin{file, entry});
    return plugins;
}

std::string Named(const ::testing::TestParamInfo<Plugin>& info) {
    std::string name = info.param.file.substr(0, info.param.file.find('.'));
    std::replace(name.begin(), name.end(), '-', '_');
    return name + (info.param.entry == Entry::Extended ? "_Ex" : "_Classic");
}

class StaticChannelTest : public ::testing::TestWithParam<Plugin> {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_EQ(client->Load(Path(), GetParam().entry, &error), 1) << error;
        ASSERT_EQ(client->Registered(), (std::vector<std::string>{kCommand, kData}));
        client->Connect();
        ASSERT_TRUE(client->IsOpen(kCommand));
        ASSERT_TRUE(client->IsOpen(kData));
    }
    std::string Path() const { return testing_support::ExecutableFolder() + "/" + GetParam().file; }
    std::string Run(const std::string& command) {
        return testing_support::OneResponse(client->Run(kCommand, command));
    }
    bool Logged(const std::string& pattern) { return LogMatches(temp.LogPath(), pattern); }

    testing_support::ScopedTempFolder temp;  // first: the plug-in ends while its log is here
    std::unique_ptr<StaticChannelClient> client = std::make_unique<StaticChannelClient>();
};

TEST_P(StaticChannelTest, TheSessionTranscript) {
    const auto ran = testing_support::RunTranscript([&](const std::string& command) {
        std::vector<testing_support::Sent> sent;
        for (const StaticWrite& write : client->Run(kCommand, command)) sent.push_back({write.channel, write.bytes});
        return sent;
    });
    EXPECT_GT(ran.commands, 20);
    EXPECT_EQ(ran.actual, ran.expected);
    for (const std::string& channel : ran.channels) EXPECT_EQ(channel, kData) << "responses leave on KstDta1";
    EXPECT_TRUE(Logged(R"(SVC: Channels "KstCmd1" and "KstDta1" registered \(VirtualChannelEntry(Ex)?\))"));
    EXPECT_TRUE(Logged("SVC: Connected"));
    EXPECT_EQ(client->WritesNotOpen(), 0);
}

// A command in chunks of any size joins up exactly; the longest response is
// written whole (and read whole when the client completes the write), one
// byte more is refused with its error; a command one byte past the bound is
// refused by its announced length, before anything of it is kept.
TEST_P(StaticChannelTest, ChunksJoinAndBoundsHold) {
    ASSERT_EQ(Run("Init|recording|"), "OK");
    std::mt19937 random(11);
    std::string text(60000, '\0');
    for (char& c : text) c = char('a' + random() % 26);
    for (const std::size_t chunk : {std::size_t(1), std::size_t(7), std::size_t(1600), std::size_t(65535)}) {
        const std::string command = "SetOption|@text|" + text.substr(0, chunk == 1 ? 3000 : text.size()) + "|";
        const std::size_t before = client->WriteCount();
        client->Send(kCommand, command, chunk);
        ASSERT_TRUE(client->WaitForWrites(before + 1));
        client->CompleteWrites();
        EXPECT_EQ(Run("GetSerialNumber"), "OK|" + text.substr(0, chunk == 1 ? 3000 : text.size())) << chunk;
    }
    const std::size_t mebibyte = 1024 * 1024;
    ASSERT_EQ(Run("SetOption|@text-size|" + std::to_string(mebibyte - 3) + "|"), "OK|true");
    EXPECT_EQ(Run("GetSerialNumber").size(), mebibyte);
    ASSERT_EQ(Run("SetOption|@text-size|" + std::to_string(mebibyte - 2) + "|"), "OK|true");
    EXPECT_EQ(Run("GetSerialNumber"), "ERROR|Response too long");
    EXPECT_EQ(Run("Execute|" + std::string(65535 - 9, 'x') + "|").find("Command too long"), std::string::npos);
    EXPECT_EQ(Run("Execute|" + std::string(65536 - 9, 'x') + "|"),
              "ERROR|Command too long (65536 bytes, at most 65535)");
    EXPECT_TRUE(Logged(R"(Data \(channel: KstCmd1, size: 65536\): not kept)"));
}

// Chunk streams no client sends: each is dropped whole (or, announced too
// long, answered with its error at once), nothing of it joins the next
// message, and the next command is answered as usual.
TEST_P(StaticChannelTest, HostileChunksAreDroppedAndTheNextCommandRuns) {
    constexpr std::uint32_t F = 1, L = 2;
    struct Chunk {
        std::string bytes;
        std::uint32_t total, flags;
    };
    const struct {
        const char* what;
        std::vector<Chunk> chunks;
        const char* answer;  // nullptr: none
        const char* logged;
    } cases[] = {
        {"a total above the bound", {{"Hello", 70000, F}, {"x", 70000, 0}, {"y", 70000, L}},
         "ERROR|Command too long (70000 bytes, at most 65535)", R"(.*size: 70000\): not kept)"},
        {"the largest total there is", {{"Hello", 0xFFFFFFFF, F | L}},
         "ERROR|Command too long (4294967295 bytes, at most 65535)", nullptr},
        {"chunks without FIRST", {{"Hel", 5, 0}, {"lo", 5, 0}}, nullptr,
         R"(SVC: Chunks dropped on "KstCmd1": a chunk that belongs to no message)"},
        {"LAST without FIRST", {{"Hello", 5, L}}, nullptr, R"(.*a chunk that belongs to no message)"},
        {"totals that disagree", {{"Hel", 5, F}, {"lo", 6, L}}, nullptr, R"(.*disagree on its length \(5, 6\))"},
        {"more bytes than the total", {{"Hel", 4, F}, {"lo", 4, L}}, nullptr, R"(.*more bytes than .*\(4\))"},
        {"fewer bytes than the total", {{"Hel", 9, F}, {"lo", 9, L}}, nullptr, R"(.*a message of 5 bytes whose length says 9)"},
        {"a FIRST inside a message", {{"Hel", 10, F}, {"Hel", 5, F}, {"lo", 5, L}}, "OK|Hello", nullptr},
        {"a suspend event with bytes", {{"Hello", 5, F | L | 0x20}}, nullptr, nullptr},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.what);
        const std::size_t before = client->WriteCount();
        for (const Chunk& chunk : row.chunks) client->Chunk(kCommand, chunk.bytes, chunk.total, chunk.flags);
        if (row.answer != nullptr) {
            ASSERT_TRUE(client->WaitForWrites(before + 1));
            client->CompleteWrites();
            const auto sent = client->WritesSince(0);
            ASSERT_FALSE(sent.empty());
            EXPECT_EQ(sent.back().bytes, row.answer);
        } else {
            EXPECT_EQ(client->WriteCount(), before) << "nothing runs";
        }
        if (row.logged != nullptr) {
            EXPECT_TRUE(Logged(row.logged));
        }
        EXPECT_EQ(Run("Hello"), "OK|Hello") << "the next message reads afresh";
    }
}

// The client holds the bytes of each write until it completes or cancels
// it: a plug-in whose writes are never completed holds at most 64 of them,
// drops (and logs) responses beyond, and goes on once the client hands them
// back; a completion for bytes it never wrote changes nothing.
TEST_P(StaticChannelTest, WritesAreKeptUntilTheClientHandsThemBack) {
    client->HoldWrites(true);
    for (int i = 0; i < 64; ++i) {
        const std::size_t before = client->WriteCount();
        client->Send(kCommand, "Nope" + std::to_string(i));
        ASSERT_TRUE(client->WaitForWrites(before + 1)) << i;
    }
    // One more: its response is dropped (and nothing else is on its way).
    client->Send(kCommand, "Nope64");
    ASSERT_TRUE(WaitUntil([&] { return Logged(R"(SVC: The client holds 64 writes not yet sent: response dropped)"); }));
    EXPECT_EQ(client->HeldWrites(), 64u);
    int bogus = 0;
    client->CompleteUnknownWrite(&bogus);
    client->CompleteWrites();
    const auto sent = client->WritesSince(0);
    ASSERT_EQ(sent.size(), 64u);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(sent[i].bytes, "ERROR|Unknown command \"Nope" + std::to_string(i) + "\"") << "read at completion";
    client->HoldWrites(false);
    EXPECT_EQ(Run("Hello"), "OK|Hello");
    // Cancelled writes are handed back too.
    client->HoldWrites(true);
    for (int i = 0; i < 64; ++i) {
        const std::size_t before = client->WriteCount();
        client->Send(kCommand, "Hello");
        ASSERT_TRUE(client->WaitForWrites(before + 1));
    }
    client->CompleteWrites(true);
    client->HoldWrites(false);
    EXPECT_EQ(Run("Hello"), "OK|Hello");
}

// A connection that ends in mid-message and comes back: the channels are
// closed and opened again, the half message is gone, the instrument stays.
TEST_P(StaticChannelTest, AReconnectionInMidMessage) {
    ASSERT_EQ(Run("Init|recording|"), "OK");
    ASSERT_EQ(Run("SetOption|@text|kept|"), "OK|true");
    client->Chunk(kCommand, "Hel", 5, 1);
    client->Disconnect();
    EXPECT_FALSE(client->IsOpen(kCommand));
    EXPECT_TRUE(Logged("SVC: Disconnected"));
    client->Connect();
    ASSERT_TRUE(client->IsOpen(kCommand));
    client->Chunk(kCommand, "lo", 5, 2);  // the rest of the old message: no message of the new connection
    EXPECT_EQ(Run("GetSerialNumber"), "OK|kept");
    EXPECT_EQ(client->WritesNotOpen(), 0);
}

// A client that calls back from inside the plug-in's write, on the writing
// thread: a new command, the write's completion, the connection's end. No
// lock of the plug-in is held there, so each is served and the plug-in goes
// on; a deadlock fails here at once (the rest of the run could not end).
TEST_P(StaticChannelTest, AClientThatCallsBackFromInsideItsWrite) {
    const struct {
        const char* what;
        std::function<void()> inside;
        std::size_t writes;  // made by the plug-in, the callback's own included
    } cases[] = {
        {"a command", [&] { client->Send(kCommand, "KestavClientDriverVersion"); }, 2},
        {"the completion", [&] { client->CompleteWrites(); }, 1},
        {"the end of the connection", [&] { client->Disconnect(); }, 1},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.what);
        const std::size_t before = client->WriteCount();
        std::atomic<bool> done{false};
        client->InsideNextWrite([&] { row.inside(), done = true; });
        client->Send(kCommand, "Hello");
        if (!WaitUntil([&] { return done && client->WriteCount() == before + row.writes; }, 10)) {
            ADD_FAILURE() << "the plug-in did not go on after a call from inside its write";
            std::fflush(stdout), std::_Exit(1);
        }
        client->CompleteWrites();
        if (!client->IsOpen(kCommand)) client->Connect();
        EXPECT_EQ(Run("Hello"), "OK|Hello");
    }
}

// A client that refuses writes for a while: each refused write's bytes are
// the plug-in's again at once, so a client that takes writes again gets
// every response. A message on a handle the client never gave runs nothing.
// And a plug-in ended by its client can be entered again in the same process.
TEST_P(StaticChannelTest, RefusedWritesStrayHandlesAndASecondEntry) {
    client->FailWrites(30);  // CHANNEL_RC_NO_MEMORY
    const auto refused = [&] {
        const auto log = testing_support::ReadLogLines(temp.LogPath());
        return std::count(log.begin(), log.end(), "SVC: Write refused (result 30)");
    };
    for (int i = 0; i < 70; ++i) {
        client->Send(kCommand, "Refused" + std::to_string(i));
        ASSERT_TRUE(WaitUntil([&] { return refused() > i; })) << i;
    }
    client->FailWrites(0);
    EXPECT_EQ(Run("Hello"), "OK|Hello") << "after 70 refused writes";
    EXPECT_FALSE(Logged(R"(SVC: The client holds 64 writes not yet sent: response dropped)"));

    const std::size_t before = client->WriteCount();
    client->Chunk("KstNone", "KestavClientDriverVersion", 25, 3);
    EXPECT_EQ(Run("Hello"), "OK|Hello");
    EXPECT_EQ(client->WriteCount(), before + 1) << "the stray message ran";

    // The library stays loaded (as a client that loads it twice keeps it).
    const platform::LibraryHandle pinned = platform::OpenLibrary(Path());
    ASSERT_NE(pinned, nullptr);
    client.reset();
    client = std::make_unique<StaticChannelClient>();
    std::string error;
    EXPECT_EQ(client->Load(Path(), GetParam().entry, &error), 1) << error;
    client->Connect();
    EXPECT_EQ(Run("Hello"), "OK|Hello");
    client.reset();
    platform::CloseLibrary(pinned);
}

INSTANTIATE_TEST_SUITE_P(EachFile, StaticChannelTest, ::testing::ValuesIn(Plugins()), Named);

// What the client refuses: the channels (the plug-in declines and says so),
// or the data channel alone (responses come back on KstCmd1).
TEST(StaticChannelRefusals, TheClientsRefusalsAreLoggedAndSurvived) {
    const std::string path = testing_support::ExecutableFolder() + "/" + Plugins().front().file;
    {
        testing_support::ScopedTempFolder temp;
        StaticChannelClient client;
        client.FailInit(12);
        std::string error;
        EXPECT_EQ(client.Load(path, Entry::Extended, &error), 0) << error;
        EXPECT_TRUE(LogMatches(temp.LogPath(), R"(SVC: The client refused the channels KstCmd1 and KstDta1 \(result 12\))"));
    }
    {
        testing_support::ScopedTempFolder temp;
        StaticChannelClient client;
        client.FailOpen(kData, 13);
        std::string error;
        ASSERT_EQ(client.Load(path, Entry::Extended, &error), 1) << error;
        client.Connect();
        EXPECT_TRUE(LogMatches(temp.LogPath(), R"(SVC: Channel "KstDta1" cannot be opened \(result 13\))"));
        const auto sent = client.Run(kCommand, "Hello");
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].channel, kCommand);
        EXPECT_EQ(sent[0].bytes, "OK|Hello");
    }
}

}  // namespace
