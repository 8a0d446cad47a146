// The client library's rule that each answer is its own command's, against a
// transport that behaves as the module does: each written command is
// answered in order, and a late answer can reach the program at any moment.
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "server/Conversation.h"
#include "server/KestavChannel.h"

namespace {

using kestav::detail::Conversation;
using kestav::detail::Transport;

struct Script {
    std::vector<std::string> written;
    std::deque<std::string> arrived;  // answers not read yet
    bool answering = true;            // false: the module works on and answers nothing
    // An answer of an earlier command that arrives just after the next write.
    std::string lateAfterNextWrite;
    // The marker's answer comes only at the next read or write after it was
    // written, behind the late answer (a module still finishing the earlier command).
    bool slowMarker = false;
    std::string heldMarkerAnswer;
};

class ScriptedModule final : public Transport {
public:
    explicit ScriptedModule(Script& script) : script_(script) {}
    const char* Name() const override { return "scripted"; }
    int Write(const std::string& command, std::string*) override {
        Release();
        script_.written.push_back(command);
        if (!script_.lateAfterNextWrite.empty()) {
            script_.arrived.push_back(script_.lateAfterNextWrite);
            script_.lateAfterNextWrite.clear();
        }
        if (!script_.answering) return KESTAV_OK;
        const bool marker = command.compare(0, 11, "KestavSync-") == 0;
        if (marker && script_.slowMarker)
            script_.heldMarkerAnswer = "ERROR|Unknown command \"" + command + "\"";
        else
            script_.arrived.push_back(marker ? "ERROR|Unknown command \"" + command + "\"" : "OK|" + command);
        return KESTAV_OK;
    }
    int Read(std::uint32_t, std::string* response, std::string*) override {
        if (script_.arrived.empty()) Release();
        if (script_.arrived.empty()) return KESTAV_TIMEOUT;
        *response = script_.arrived.front();
        script_.arrived.pop_front();
        return KESTAV_OK;
    }
    int Purge(std::uint32_t, std::string*) override {
        script_.arrived.clear();
        return KESTAV_OK;
    }

private:
    void Release() {
        if (script_.heldMarkerAnswer.empty()) return;
        script_.arrived.push_back(script_.heldMarkerAnswer);
        script_.heldMarkerAnswer.clear();
    }
    Script& script_;
};

class ConversationTest : public ::testing::Test {
protected:
    int Call(const std::string& command, std::string* response) {
        return conversation.Exchange(command, 100, response, &error);
    }
    Script script;
    Conversation conversation{std::make_unique<ScriptedModule>(script)};
    std::string error;
};

// A call times out; its answer comes while the next command is on its way,
// after the channel was cleared (the ordinary case on a busy network, and
// always so when the module runs commands inside the engine's write).
TEST_F(ConversationTest, ALateAnswerAfterTheNextWriteIsNotTakenForTheNextCommand) {
    std::string response;
    script.answering = false;
    ASSERT_EQ(Call("Measure", &response), KESTAV_TIMEOUT);
    EXPECT_EQ(error, "no answer to \"Measure\" within 100 ms");

    script.answering = true;
    script.lateAfterNextWrite = "OK|Measure";
    ASSERT_EQ(Call("GetSerialNumber", &response), KESTAV_OK) << error;
    EXPECT_EQ(response, "OK|GetSerialNumber");
    ASSERT_EQ(script.written.size(), 3u);
    EXPECT_EQ(script.written[1].compare(0, 11, "KestavSync-"), 0) << "the channel made clean first";

    // Clean again: the next call goes straight.
    ASSERT_EQ(Call("IsConnected", &response), KESTAV_OK);
    EXPECT_EQ(response, "OK|IsConnected");
    EXPECT_EQ(script.written.size(), 4u);
}

// After a time-out the late answer comes first and the marker's own answer
// a while later: the clean-up waits for the marker's, so that neither is
// taken for the next command's answer.
TEST_F(ConversationTest, TheCleanUpWaitsForTheMarkersOwnAnswer) {
    std::string response;
    script.answering = false;
    ASSERT_EQ(Call("Measure", &response), KESTAV_TIMEOUT);
    script.answering = true;
    script.slowMarker = true;
    script.lateAfterNextWrite = "OK|Measure";
    ASSERT_EQ(Call("GetSerialNumber", &response), KESTAV_OK) << error;
    EXPECT_EQ(response, "OK|GetSerialNumber");
}

// Something the module sent before a call, unasked (a stray or a duplicate
// answer), is never the call's answer.
TEST_F(ConversationTest, WhatArrivedBeforeACallIsNotItsAnswer) {
    std::string response;
    script.arrived.push_back("OK|stray");
    ASSERT_EQ(Call("GetSerialNumber", &response), KESTAV_OK) << error;
    EXPECT_EQ(response, "OK|GetSerialNumber");
    EXPECT_EQ(script.written.size(), 1u) << "no clean-up was due";
}

// The module stays busy: the clean-up itself times out and says why, and
// the next call tries again.
TEST_F(ConversationTest, AModuleStillBusyIsNamedAndTheNextCallTriesAgain) {
    std::string response;
    script.answering = false;
    ASSERT_EQ(Call("Measure", &response), KESTAV_TIMEOUT);
    ASSERT_EQ(Call("IsConnected", &response), KESTAV_TIMEOUT);
    EXPECT_EQ(error, "the instrument is still busy with an earlier command (no answer within 100 ms)");
    script.answering = true;
    script.lateAfterNextWrite = "OK|Measure";
    ASSERT_EQ(Call("IsConnected", &response), KESTAV_OK);
    EXPECT_EQ(response, "OK|IsConnected");
}

}  // namespace
