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

}  // namespace
