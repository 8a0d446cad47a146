// What the client library says when a transport cannot be had, in the words
// of the system the program runs on: the local loop is a Windows one, and a
// channel that cannot be opened may be a client without the module.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/Environment.h"
#include "platform/Pipe.h"
#include "platform/Session.h"
#include "server/KestavChannel.h"
#include "tests/support/TestSupport.h"

namespace {

TEST(ChannelWords, WhatIsMissingIsSaidInThisSystemsTerms) {
    KestavChannel* channel = nullptr;
    // A name no listener has.
    const std::string nobody =
        "nobody-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    EXPECT_EQ(KestavOpen(KESTAV_TRANSPORT_LOCAL_LOOP, nobody.c_str(), 300, &channel), KESTAV_NO_TRANSPORT);
    EXPECT_EQ(channel, nullptr);
    const std::string said = KestavLastError(nullptr);
    if (platform::kPipesAvailable) {
        EXPECT_NE(said.find("start kestav-host --listen " + nobody), std::string::npos) << said;
    } else {
        EXPECT_NE(said.find("the local loop is a Windows one"), std::string::npos) << said;
        EXPECT_NE(said.find("xfreerdp /dvc:kestav"), std::string::npos) << said;
        EXPECT_EQ(said.find("start kestav-host"), std::string::npos) << said;
    }
    // The automatic transport says what it took, and why, before the same words.
    EXPECT_EQ(KestavOpen(KESTAV_TRANSPORT_AUTO, nobody.c_str(), 300, &channel), KESTAV_NO_TRANSPORT);
    EXPECT_EQ(std::string(KestavLastError(nullptr)),
              "KESTAV_TRANSPORT_AUTO took the local loop (this program runs in no ICA or Remote Desktop session): " +
                  said);
    const std::string blocked = KestavStatusText(KESTAV_CHANNEL_BLOCKED);
    EXPECT_NE(blocked.find("allow list"), std::string::npos) << blocked;
    EXPECT_NE(blocked.find("a client without the Kestav module"), std::string::npos) << blocked;
}

// One program per session holds the channels of the session's client: while
// another holds them, an open is refused in words before anything opens; a
// failed open keeps no claim. (Windows: the holder's close lets them go, in
// the stand-in wfapi's test.)
TEST(ChannelWords, ASecondHolderOfTheSessionsChannelsIsRefused) {
    testing_support::ScopedTempFolder runtime;  // the user's runtime folder, on Linux
    platform::SetEnvironment("XDG_RUNTIME_DIR", runtime.Path());
    platform::Claim claimed = platform::Claim::Unavailable;
    platform::SessionClaim* held = platform::ClaimInSession("KestavChannels", &claimed);
    ASSERT_EQ(claimed, platform::Claim::Made);
    EXPECT_EQ(platform::ClaimInSession("KestavChannels", &claimed), nullptr);
    EXPECT_EQ(claimed, platform::Claim::Taken) << "a second claim, in the same process too";
    for (const int transport :
         {KESTAV_TRANSPORT_CITRIX, KESTAV_TRANSPORT_REMOTE_DESKTOP, KESTAV_TRANSPORT_REMOTE_DESKTOP_STATIC}) {
        KestavChannel* channel = nullptr;
        EXPECT_EQ(KestavOpen(transport, nullptr, 300, &channel), KESTAV_IN_USE) << transport;
        EXPECT_EQ(channel, nullptr);
        EXPECT_NE(std::string(KestavLastError(nullptr)).find("another program in this session holds the Kestav channels"),
                  std::string::npos)
            << KestavLastError(nullptr);
    }
    platform::ReleaseClaim(held);
    for (int round = 0; round < 2; ++round) {
        KestavChannel* channel = nullptr;
        EXPECT_NE(KestavOpen(KESTAV_TRANSPORT_REMOTE_DESKTOP, nullptr, 300, &channel), KESTAV_IN_USE)
            << "a failed open keeps no claim: " << KestavLastError(nullptr);
    }
    platform::SetEnvironment("XDG_RUNTIME_DIR", "");
}

// The numbers the pages publish for callers without the header (C#, Python):
// each status and transport keeps its number.
TEST(ChannelWords, ThePublishedNumbersStay) {
    const int statuses[] = {KESTAV_OK, KESTAV_TIMEOUT, KESTAV_NO_SESSION, KESTAV_CHANNEL_BLOCKED,
                            KESTAV_MODULE_ABSENT, KESTAV_NO_TRANSPORT, KESTAV_LOOP_BUSY, KESTAV_DISCONNECTED,
                            KESTAV_BUFFER_TOO_SMALL, KESTAV_INVALID_ARGUMENT, KESTAV_WRITE_REFUSED,
                            KESTAV_RESPONSE_TOO_LONG, KESTAV_CLIENT_CHANGED, KESTAV_IN_USE};
    const int transports[] = {KESTAV_TRANSPORT_AUTO, KESTAV_TRANSPORT_CITRIX, KESTAV_TRANSPORT_LOCAL_LOOP,
                              KESTAV_TRANSPORT_REMOTE_DESKTOP, KESTAV_TRANSPORT_REMOTE_DESKTOP_STATIC};
    for (int published = 0; published < 14; ++published) EXPECT_EQ(statuses[published], published);
    for (int published = 0; published < 5; ++published) EXPECT_EQ(transports[published], published);
}

}  // namespace
