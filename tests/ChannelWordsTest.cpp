// What the client library says when a transport cannot be had, in the words
// of the system the program runs on: the local loop is a Windows one, and a
// channel that cannot be opened may be a client without the module.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/Pipe.h"
#include "server/KestavChannel.h"

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

// The numbers the pages publish for callers without the header (C#, Python):
// each status and transport keeps its number.
TEST(ChannelWords, ThePublishedNumbersStay) {
    const int statuses[] = {KESTAV_OK, KESTAV_TIMEOUT, KESTAV_NO_SESSION, KESTAV_CHANNEL_BLOCKED,
                            KESTAV_MODULE_ABSENT, KESTAV_NO_TRANSPORT, KESTAV_LOOP_BUSY, KESTAV_DISCONNECTED,
                            KESTAV_BUFFER_TOO_SMALL, KESTAV_INVALID_ARGUMENT, KESTAV_WRITE_REFUSED,
                            KESTAV_RESPONSE_TOO_LONG, KESTAV_CLIENT_CHANGED};
    const int transports[] = {KESTAV_TRANSPORT_AUTO, KESTAV_TRANSPORT_CITRIX, KESTAV_TRANSPORT_LOCAL_LOOP,
                              KESTAV_TRANSPORT_REMOTE_DESKTOP, KESTAV_TRANSPORT_REMOTE_DESKTOP_STATIC};
    for (int published = 0; published < 13; ++published) EXPECT_EQ(statuses[published], published);
    for (int published = 0; published < 5; ++published) EXPECT_EQ(transports[published], published);
}

}  // namespace
