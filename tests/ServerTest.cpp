// The server side against the real module: the client library and the
// stand-in wfapi over the local loop, served by a listener on a thread of
// this program (the engine's thread), with the simulator and the recording
// driver behind the module.
#include <gtest/gtest.h>

#include <functional>

#include <windows.h>
#include <sddl.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/Pipe.h"
#include "server/KestavChannel.h"
#include "server/LoopClient.h"
#include "server/LoopProtocol.h"
#include "tests/support/TestSupport.h"
#include "tools/host/Engine.h"
#include "tools/host/Listener.h"

namespace {

std::atomic<int> loopCounter{0};

// A listener on a thread of its own, which is then the engine's thread.
class LoopOnThread {
public:
    // `withoutModule`: as a client without the Kestav module.
    explicit LoopOnThread(const std::string& name, int idleSeconds = 600, bool withoutModule = false) : name_(name) {
        // One engine with the module at a time: two in one process would open
        // the one module together, and its channels could end up on the other.
        if (!withoutModule && withModule.fetch_add(1) != 0)
            ADD_FAILURE() << "a listener with the module started while another still runs";
        counted_ = !withoutModule;
        thread_ = std::thread([this, idleSeconds, withoutModule] {
            standin::Engine engine;
            std::string error;
            if (!withoutModule &&
                (!engine.LoadModule(testing_support::ExecutableFolder() + "/" + KST_MODULE_FILE, &error) ||
                 engine.Open() != 0)) {
                failed_ = true;
                return;
            }
            standin::ListenerOptions options;
            options.name = name_;
            options.quiet = true;
            options.idleSeconds = idleSeconds;
            options.withoutModule = withoutModule;
            standin::Listener listener(engine, options, out_);
            listener_ = &listener;
            listener.Run();
            listener_ = nullptr;
            ended_ = true;
            (void)engine.Close();
        });
    }
    // (A program that connects before the listener is up waits for it.)
    ~LoopOnThread() {
        (void)StopAndTell();
        if (counted_) --withModule;
    }
    // The program's pipe breaks; the module stays (the same client).
    void DropSession() {
        while (listener_ == nullptr && !failed_ && !ended_) std::this_thread::yield();
        if (standin::Listener* running = listener_) running->DropSession();
    }
    // Ends the listener; what it printed.
    std::string StopAndTell() {
        while (listener_ == nullptr && !failed_ && !ended_) std::this_thread::yield();
        if (standin::Listener* running = listener_) running->Stop();
        if (thread_.joinable()) thread_.join();
        return out_.str();
    }

private:
    static std::atomic<int> withModule;
    bool counted_ = false;
    std::string name_;
    std::ostringstream out_;
    std::atomic<standin::Listener*> listener_{nullptr};
    std::atomic<bool> failed_{false};
    std::atomic<bool> ended_{false};
    std::thread thread_;
};

std::atomic<int> LoopOnThread::withModule{0};

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        loopName = "test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++loopCounter);
        listener = std::make_unique<LoopOnThread>(loopName);
    }
    void TearDown() override {
        if (channel != nullptr) KestavClose(channel);
        listener.reset();
    }
    int Open(unsigned timeoutMs = 5000) {
        return KestavOpen(KESTAV_TRANSPORT_LOCAL_LOOP, loopName.c_str(), timeoutMs, &channel);
    }
    // Open, tried for up to 5 s: the listener takes a moment to let the last
    // program go before it serves the next.
    int OpenOnceTheLoopIsFree() {
        int opened = Open();
        for (int attempt = 0; attempt < 50 && opened != KESTAV_OK; ++attempt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            opened = Open();
        }
        return opened;
    }
    std::string Call(const std::string& command, unsigned timeoutMs = 10000, int* status = nullptr) {
        std::vector<char> response(KESTAV_LONGEST_RESPONSE + 1);
        unsigned length = 0;
        const int result = KestavCall(channel, command.c_str(), timeoutMs, response.data(),
                                      unsigned(response.size()), &length);
        if (status != nullptr) *status = result;
        return result == KESTAV_OK ? std::string(response.data(), length)
                                   : std::string("status ") + std::to_string(result);
    }

    testing_support::ScopedTempFolder temp;
    std::string loopName;
    std::unique_ptr<LoopOnThread> listener;
    KestavChannel* channel = nullptr;
};

TEST_F(ServerTest, ASessionThroughTheLibrary) {
    ASSERT_EQ(Open(), KESTAV_OK) << KestavLastError(nullptr);
    EXPECT_STREQ(KestavTransportName(channel), "local loop");
    char version[16];
    ASSERT_EQ(KestavModuleVersion(channel, 5000, version, sizeof version), KESTAV_OK);
    EXPECT_STREQ(version, "1.6.0");
    for (const char* command : {"Init|sim|", "Connect", "Calibrate", "CalibrateStep|White|",
                                "CalibrateStep|Black|", "Measure"})
        EXPECT_EQ(Call(command).compare(0, 2, "OK"), 0) << command;
    EXPECT_EQ(Call("GetOption|Filter|"), "OK|M0&vert;No filter");
    const std::string spectrum = Call("GetSpectralDataAll|0|");
    EXPECT_EQ(std::count(spectrum.begin(), spectrum.end(), ';'), 30) << spectrum;
    // The C++ class over the same C ABI, and its escaping.
    EXPECT_EQ(kestav::Channel::Escape("M2|UV cut"), "M2&vert;UV cut");
    EXPECT_EQ(kestav::Channel::Unescape("M0&vert;No filter"), "M0|No filter");
}

// The driver's call takes longer than the caller waits: the next call gets
// its own answer, never the late one, whether the late one comes before the
// next call or is still being worked out.
TEST_F(ServerTest, ALateAnswerIsNeverTakenForTheNextCommand) {
    ASSERT_EQ(Open(), KESTAV_OK) << KestavLastError(nullptr);
    ASSERT_EQ(Call("Init|recording|"), "OK");
    ASSERT_EQ(Call("SetOption|@int|7|"), "OK|true");
    for (const int pauseMs : {1500, 0}) {
        ASSERT_EQ(Call("SetOption|@fault|sleep:1000|"), "OK|true");
        int status = KESTAV_OK;
        Call("Measure", 200, &status);
        EXPECT_EQ(status, KESTAV_TIMEOUT);
        EXPECT_NE(std::string(KestavLastError(channel)).find("no answer to \"Measure\" within 200 ms"),
                  std::string::npos);
        EXPECT_EQ(KestavLastCallSent(channel), 1);
        // The module is still busy: a call too short for the clean-up sends nothing.
        Call("IsConnected", 100, &status);
        EXPECT_EQ(status, KESTAV_TIMEOUT);
        EXPECT_EQ(KestavLastCallSent(channel), 0) << KestavLastError(channel);
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));  // the late "OK|true" arrives
        EXPECT_EQ(Call("GetWavelengthValue|3|"), "OK|7") << "after " << pauseMs << " ms";
        EXPECT_EQ(Call("IsConnected"), "OK|true");
        EXPECT_EQ(Call("GetWavelengthValue|4|"), "OK|7");
    }
}

// A response needs its length and one byte for the closing NUL: a buffer
// of just its length is too small, is left as it was, and the length is told.
TEST_F(ServerTest, TheBufferHoldsTheResponseAndItsNulOrIsTooSmall) {
    ASSERT_EQ(Open(), KESTAV_OK) << KestavLastError(nullptr);
    const std::string hello = "OK|Hello";
    for (const bool last : {false, true}) {
        for (const unsigned size : {0u, 1u, 7u, 8u, 9u, 64u}) {
            SCOPED_TRACE((last ? "KestavLastResponse, " : "KestavCall, ") + std::to_string(size) + " bytes");
            std::vector<char> buffer(size + 1, 'x');  // one more, to see a write past the end
            unsigned length = 0;
            const int status = last ? KestavLastResponse(channel, buffer.data(), size, &length)
                                    : KestavCall(channel, "Hello", 5000, buffer.data(), size, &length);
            EXPECT_EQ(length, hello.size());
            if (size > hello.size()) {
                EXPECT_EQ(status, KESTAV_OK);
                EXPECT_STREQ(buffer.data(), hello.c_str());
            } else {
                EXPECT_EQ(status, KESTAV_BUFFER_TOO_SMALL);
                EXPECT_EQ(std::string(buffer.data(), size + 1), std::string(size + 1, 'x'));
            }
        }
    }
}

TEST_F(ServerTest, OneCommandInFlightAtATime) {
    ASSERT_EQ(Open(), KESTAV_OK) << KestavLastError(nullptr);
    ASSERT_EQ(Call("Init|recording|"), "OK");
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                const std::string command = "Foo" + std::to_string(t) + "-" + std::to_string(i);
                if (Call(command) != "ERROR|Unknown command \"" + command + "\"") ++wrong;
            }
        });
    for (std::thread& caller : callers) caller.join();
    EXPECT_EQ(wrong, 0) << "each caller gets its own answer";
}

TEST_F(ServerTest, ASecondProgramIsRefusedAndTheLoopOutlivesItsListener) {
    ASSERT_EQ(Open(), KESTAV_OK) << KestavLastError(nullptr);
    KestavChannel* second = nullptr;
    EXPECT_EQ(KestavOpen(KESTAV_TRANSPORT_LOCAL_LOOP, loopName.c_str(), 2000, &second), KESTAV_LOOP_BUSY);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(std::string(KestavLastError(nullptr)).find("one session at a time"), std::string::npos)
        << KestavLastError(nullptr);
    EXPECT_EQ(Call("Hello"), "OK|Hello");
    // The listener is restarted (a new module, a new session): the channel
    // connects again, and says the client changed.
    listener.reset();
    listener = std::make_unique<LoopOnThread>(loopName);
    EXPECT_EQ(Call("Hello"), "status " + std::to_string(KESTAV_CLIENT_CHANGED));
    EXPECT_NE(std::string(KestavLastError(channel)).find("the client was reconnected"), std::string::npos);
    EXPECT_EQ(Call("Hello"), "OK|Hello");
    EXPECT_EQ(Call("Init|sim|"), "OK");
}

// One channel across the client's end and a new client: calls while it is
// away fail at once and say so; the first call after it is back opens the
// channels again, runs nothing and says the client changed; the program
// sets the instrument up again and measures. A late answer of the old
// client is never taken for the new one's.
void ReconnectAcrossANewClient(KestavChannel* channel, const std::function<void()>& endClient,
                               const std::function<void()>& startClient) {
    using Clock = std::chrono::steady_clock;
    const auto call = [channel](const std::string& command, unsigned timeoutMs, std::string* response) {
        std::vector<char> buffer(4096);
        unsigned length = 0;
        const int status = KestavCall(channel, command.c_str(), timeoutMs, buffer.data(), unsigned(buffer.size()), &length);
        *response = status == KESTAV_OK ? std::string(buffer.data(), length) : KestavLastError(channel);
        return status;
    };
    std::string response;
    ASSERT_EQ(call("Init|recording|", 10000, &response), KESTAV_OK) << response;
    ASSERT_EQ(call("SetOption|@fault|sleep:1500|", 10000, &response), KESTAV_OK) << response;
    // The client ends while a slow command runs.
    std::thread ending([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        endClient();
    });
    const int during = call("Measure", 8000, &response);
    ending.join();
    EXPECT_TRUE(during == KESTAV_DISCONNECTED || during == KESTAV_TIMEOUT) << during << " " << response;
    // The command had gone out: the caller is told it may have run.
    EXPECT_EQ(KestavLastCallSent(channel), 1);
    EXPECT_NE(response.find("the command was sent before and may have run: its answer is lost"), std::string::npos)
        << response;
    for (int i = 0; i < 2; ++i) {
        const auto started = Clock::now();
        EXPECT_EQ(call("Measure", 5000, &response), KESTAV_DISCONNECTED);
        EXPECT_EQ(KestavLastCallSent(channel), 0) << "nothing is sent while the client is away";
        EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(4000)) << "a call while the client is away waited";
        EXPECT_NE(response.find("the client is away"), std::string::npos) << response;
    }
    startClient();
    int status = KESTAV_DISCONNECTED;
    for (int attempt = 0; attempt < 50 && status == KESTAV_DISCONNECTED; ++attempt) {
        status = call("Measure", 5000, &response);
        if (status == KESTAV_DISCONNECTED) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(status, KESTAV_CLIENT_CHANGED) << response;
    EXPECT_EQ(response, "the client was reconnected: set the instrument up again (Init, Connect, calibration as "
                        "needed), then call again; the command was not run");
    EXPECT_STREQ(KestavStatusText(status), "the client was reconnected: set the instrument up again");
    // The new client's module knows no driver yet: the program sets it up again.
    EXPECT_EQ(call("Measure", 5000, &response), KESTAV_OK);
    EXPECT_EQ(response, "ERROR|Instrument driver not loaded");
    for (const char* command : {"Init|sim|", "Connect", "Calibrate", "CalibrateStep|White|", "CalibrateStep|Black|"}) {
        EXPECT_EQ(call(command, 10000, &response), KESTAV_OK) << command;
        EXPECT_EQ(response.compare(0, 2, "OK"), 0) << command << ": " << response;
    }
    EXPECT_EQ(call("Measure", 10000, &response), KESTAV_OK);
    EXPECT_EQ(response, "OK|true");
    EXPECT_EQ(call("GetSerialNumber", 10000, &response), KESTAV_OK);
    EXPECT_EQ(response, "OK|KSIM-000417");
}

// The channels drop during a slow command and come back to the same module:
// the call says its command may have run, the library runs nothing twice,
// and the next call gets its own answer, never the slow command's, which
// comes on the new channels.
TEST_F(ServerTest, ChannelsThatDropDuringACommandSayItMayHaveRun) {
    ASSERT_EQ(Open(), KESTAV_OK) << KestavLastError(nullptr);
    ASSERT_EQ(Call("Init|recording|"), "OK");
    ASSERT_EQ(Call("SetOption|@int|7|"), "OK|true");
    ASSERT_EQ(Call("SetOption|@fault|sleep:1500|"), "OK|true");
    std::thread dropping([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        listener->DropSession();
    });
    int status = KESTAV_OK;
    Call("Measure", 8000, &status);
    dropping.join();
    EXPECT_EQ(status, KESTAV_TIMEOUT);
    EXPECT_EQ(std::string(KestavLastError(channel)),
              "the channels were opened again during the call; the command was sent before and may have run: its "
              "answer is lost; call again");
    EXPECT_EQ(KestavLastCallSent(channel), 1);
    EXPECT_EQ(Call("GetWavelengthValue|3|"), "OK|7");
    EXPECT_EQ(KestavLastCallSent(channel), 1);
    const std::string calls = Call("Execute|@calls|");
    std::size_t measured = 0;
    for (std::size_t at = calls.find("Measure("); at != std::string::npos; at = calls.find("Measure(", at + 1))
        ++measured;
    EXPECT_EQ(measured, 1u) << calls;
}

TEST_F(ServerTest, OneChannelAcrossANewClientOfTheLocalLoop) {
    ASSERT_EQ(Open(), KESTAV_OK) << KestavLastError(nullptr);
    ReconnectAcrossANewClient(
        channel, [this] { listener.reset(); }, [this] { listener = std::make_unique<LoopOnThread>(loopName); });
}

TEST_F(ServerTest, AWriteLongerThanTheEnginesIsRefusedWhole) {
    ASSERT_EQ(Open(), KESTAV_OK) << KestavLastError(nullptr);
    int status = KESTAV_OK;
    Call("Execute|" + std::string(5000, 'x') + "|", 5000, &status);
    EXPECT_EQ(status, KESTAV_WRITE_REFUSED);
    EXPECT_NE(std::string(KestavLastError(channel)).find("refused a write of 5009 bytes (at most 4999)"),
              std::string::npos)
        << KestavLastError(channel);
    EXPECT_EQ(Call("Foo|" + std::string(4990, 'y') + "|").compare(0, 23, "ERROR|Unknown command \""), 0);
    EXPECT_EQ(Call("Hello"), "OK|Hello");
}

// A loop whose other end never answers: the channels open, Hello does not.
TEST_F(ServerTest, AModuleThatDoesNotAnswerIsNamed) {
    const std::string silent = loopName + "-silent";
    std::uint32_t error = 0;
    platform::Pipe* pipe = platform::CreatePipeInstance(loop::PipeName(silent), true, &error);
    ASSERT_NE(pipe, nullptr);
    std::thread server([pipe] {
        if (platform::AcceptPipeClient(pipe, 10000) != platform::PipeWait::Done) return;
        loop::Frame welcome;
        welcome.kind = loop::Kind::Welcome;
        welcome.version = loop::kProtocolVersion;
        std::vector<std::uint8_t> message;
        loop::Encode(welcome, &message);
        platform::PipeSend(pipe, message);
        // Takes writes, answers nothing.
        for (;;) {
            if (platform::PipeReceive(pipe, &message, 5000, loop::kLongestFrame) != platform::PipeWait::Done)
                return;
            loop::Frame written;
            written.kind = loop::Kind::Written;
            loop::Encode(written, &message);
            platform::PipeSend(pipe, message);
        }
    });
    KestavChannel* opened = nullptr;
    EXPECT_EQ(KestavOpen(KESTAV_TRANSPORT_LOCAL_LOOP, silent.c_str(), 500, &opened), KESTAV_MODULE_ABSENT);
    EXPECT_NE(std::string(KestavLastError(nullptr)).find("nothing answered \"Hello\""), std::string::npos);
    server.join();
    platform::ClosePipe(pipe);
    EXPECT_EQ(KestavOpen(KESTAV_TRANSPORT_LOCAL_LOOP, (loopName + "-nobody").c_str(), 300, &opened),
              KESTAV_NO_TRANSPORT);
    EXPECT_NE(std::string(KestavLastError(nullptr)).find("start kestav-host --listen"), std::string::npos);
}

// kestav-host --listen --no-module: a client without the module, as a
// developer provokes KESTAV_MODULE_ABSENT with the kit; the loop serves the
// next program all the same.
TEST_F(ServerTest, AClientWithoutTheModule) {
    const std::string name = loopName + "-absent";
    LoopOnThread absent(name, 600, true);
    for (int round = 0; round < 2; ++round) {
        KestavChannel* opened = nullptr;
        // Until the listener is up, and has let the last program go.
        int status = KESTAV_NO_TRANSPORT;
        for (int attempt = 0; attempt < 50 && (status == KESTAV_NO_TRANSPORT || status == KESTAV_LOOP_BUSY);
             ++attempt) {
            status = KestavOpen(KESTAV_TRANSPORT_LOCAL_LOOP, name.c_str(), 700, &opened);
            if (status != KESTAV_MODULE_ABSENT) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_EQ(status, KESTAV_MODULE_ABSENT) << round << ": " << KestavLastError(nullptr);
        EXPECT_EQ(opened, nullptr);
        EXPECT_NE(std::string(KestavLastError(nullptr)).find("nothing answered \"Hello\""), std::string::npos);
    }
    const std::string said = absent.StopAndTell();
    EXPECT_EQ(said.find("session ended"), std::string::npos) << said;
}

// Another local user could make a pipe of the loop's name first: the
// library sends it nothing and believes nothing from it.
TEST_F(ServerTest, ALoopPipeOfAnotherUserIsRefused) {
    const std::string squatted = loopName + "-squatted";
    // Owned by LocalSystem, open to everybody: a pipe this user did not make.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("O:SYD:(A;;GA;;;WD)", SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    HANDLE pipe = CreateNamedPipeA(("\\\\.\\pipe\\" + loop::PipeName(squatted)).c_str(), PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 65536, 65536, 0,
                                   &attributes);
    LocalFree(descriptor);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    std::atomic<bool> told{false};
    std::thread squatter([&] {
        if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
        loop::Frame welcome;
        welcome.kind = loop::Kind::Welcome;
        welcome.version = loop::kProtocolVersion;
        std::vector<std::uint8_t> message;
        loop::Encode(welcome, &message);
        DWORD written = 0;
        WriteFile(pipe, message.data(), DWORD(message.size()), &written, nullptr);
        char buffer[256];
        DWORD got = 0;
        if (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) told = true;
    });
    KestavChannel* opened = nullptr;
    EXPECT_EQ(KestavOpen(KESTAV_TRANSPORT_LOCAL_LOOP, squatted.c_str(), 2000, &opened), KESTAV_NO_TRANSPORT);
    EXPECT_EQ(opened, nullptr);
    EXPECT_NE(std::string(KestavLastError(nullptr)).find("is not served by this user: refused"), std::string::npos)
        << KestavLastError(nullptr);
    squatter.join();
    CloseHandle(pipe);
    EXPECT_FALSE(told) << "nothing was sent to the other user's pipe";
    // The user's own listener is believed.
    ASSERT_EQ(Open(), KESTAV_OK) << KestavLastError(nullptr);
    EXPECT_EQ(Call("Hello"), "OK|Hello");
}

// A listener of this user that says what listeners do not: the client
// believes only the answer of the kind it asked for, and keeps every packet
// that arrived before the listener went.
class ScriptedListener {
public:
    explicit ScriptedListener(const std::string& name) {
        std::uint32_t error = 0;
        pipe_ = platform::CreatePipeInstance(loop::PipeName(name), true, &error);
        thread_ = std::thread([this] {
            if (pipe_ == nullptr || platform::AcceptPipeClient(pipe_, 10000) != platform::PipeWait::Done) return;
            loop::Frame welcome;
            welcome.kind = loop::Kind::Welcome;
            welcome.version = loop::kProtocolVersion;
            welcome.maximumPacket = 5000;
            Send(welcome);
        });
    }
    ~ScriptedListener() {
        if (thread_.joinable()) thread_.join();
        if (pipe_ != nullptr) platform::ClosePipe(pipe_);
    }
    // The program has connected and been welcomed.
    bool Welcomed() {
        if (thread_.joinable()) thread_.join();
        return pipe_ != nullptr;
    }
    bool Send(const loop::Frame& frame) {
        std::vector<std::uint8_t> message;
        loop::Encode(frame, &message);
        return platform::PipeSend(pipe_, message);
    }
    bool Receive(loop::Frame* frame) {
        std::vector<std::uint8_t> message;
        return platform::PipeReceive(pipe_, &message, 10000, loop::kLongestFrame) == platform::PipeWait::Done &&
               loop::Decode(message.data(), message.size(), frame);
    }
    void Go() {
        platform::ClosePipe(pipe_);
        pipe_ = nullptr;
    }

private:
    platform::Pipe* pipe_ = nullptr;
    std::thread thread_;
};

TEST_F(ServerTest, TheLoopClientBelievesOnlyTheAnswerItAskedForAndKeepsPacketsPastTheEnd) {
    listener.reset();
    ScriptedListener scripted(loopName);
    loop::LoopClient::Status status = loop::LoopClient::Status::NoListener;
    std::string reason;
    const auto client = loop::LoopClient::Connect(loopName, 5000, &status, &reason);
    ASSERT_NE(client, nullptr) << int(status);
    ASSERT_TRUE(scripted.Welcomed());

    // A query answered with a write's answer: the listener is not believed.
    std::thread answer([&] {
        loop::Frame asked;
        if (!scripted.Receive(&asked) || asked.kind != loop::Kind::Query) return;
        loop::Frame wrong;
        wrong.kind = loop::Kind::Written;
        wrong.channel = asked.channel;
        scripted.Send(wrong);
    });
    std::string data = "untouched";
    EXPECT_EQ(client->Query(loop::Channel::Data, &data), loop::LoopClient::Status::Disconnected);
    EXPECT_EQ(data, "untouched");
    answer.join();

    // Two packets, then the listener goes: both are still read, then the end.
    for (const char* bytes : {"OK|first", "OK|second"}) {
        loop::Frame packet;
        packet.kind = loop::Kind::Packet;
        packet.channel = loop::Channel::Data;
        packet.bytes = bytes;
        ASSERT_TRUE(scripted.Send(packet));
    }
    scripted.Go();
    for (int wait = 0; wait < 500 && client->Connected(); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(client->Connected());
    std::string packet;
    EXPECT_EQ(client->Read(loop::Channel::Data, 0, &packet), loop::LoopClient::Status::Done);
    EXPECT_EQ(packet, "OK|first");
    EXPECT_EQ(client->Read(loop::Channel::Data, 0, &packet), loop::LoopClient::Status::Done);
    EXPECT_EQ(packet, "OK|second");
    EXPECT_EQ(client->Read(loop::Channel::Data, 0, &packet), loop::LoopClient::Status::Disconnected);
}

// A program that sends a message longer than any frame, or nothing at all,
// loses its session; the listener serves the next program.
TEST_F(ServerTest, TheListenerEndsOverlongAndSilentSessions) {
    listener.reset();  // the set-up's listener ends before this one starts
    listener = std::make_unique<LoopOnThread>(loopName, 1);
    struct Case {
        std::size_t bytes;  // 0: send nothing
    };
    for (const Case c : {Case{200 * 1000}, Case{loop::kLongestFrame + 1}, Case{0}}) {
        // Welcomed (the listener may still be ending the session before).
        platform::Pipe* pipe = nullptr;
        std::vector<std::uint8_t> message;
        loop::Frame welcome;
        welcome.kind = loop::Kind::Busy;
        for (int attempt = 0; attempt < 100 && welcome.kind != loop::Kind::Welcome; ++attempt) {
            if (pipe != nullptr) platform::ClosePipe(pipe);
            std::uint32_t error = 0;
            pipe = platform::ConnectPipe(loop::PipeName(loopName), 5000, &error);
            ASSERT_NE(pipe, nullptr) << error;
            welcome.kind = loop::Kind::Busy;
            if (platform::PipeReceive(pipe, &message, 5000, loop::kLongestFrame) == platform::PipeWait::Done) {
                ASSERT_TRUE(loop::Decode(message.data(), message.size(), &welcome));
            }
            if (welcome.kind != loop::Kind::Welcome) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_EQ(welcome.kind, loop::Kind::Welcome);
        if (c.bytes > 0) {
            message.assign(c.bytes, std::uint8_t(loop::Kind::Write));
            // The listener may end the session before the write completes.
            (void)platform::PipeSend(pipe, message);
        }
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(platform::PipeReceive(pipe, &message, 10000, loop::kLongestFrame), platform::PipeWait::Closed)
            << c.bytes;
        if (c.bytes == 0) {
            EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
        }
        platform::ClosePipe(pipe);
        // The next program is served.
        ASSERT_EQ(OpenOnceTheLoopIsFree(), KESTAV_OK) << KestavLastError(nullptr);
        EXPECT_EQ(Call("Hello"), "OK|Hello");
        KestavClose(channel);
        channel = nullptr;
    }
    // Each ended for its own reason: an overlong message is refused by its
    // size before it is gathered, not by its content.
    const std::string said = listener->StopAndTell();
    EXPECT_NE(said.find("a program sent a message longer than 65551 bytes: session ended\n"), std::string::npos)
        << said;
    EXPECT_EQ(said.find("a program sent what no program of the loop sends"), std::string::npos) << said;
    EXPECT_NE(said.find("a program sent nothing for 1 s: session ended\n"), std::string::npos) << said;
}

// Not in a Remote Desktop session: said so, in words.
TEST_F(ServerTest, TheRemoteDesktopTransportOutsideASession) {
    const struct {
        int transport;
        const char* said;
    } cases[] = {
        {KESTAV_TRANSPORT_REMOTE_DESKTOP, "does not run in a Remote Desktop session (the dynamic channel KstCmd1"},
        {KESTAV_TRANSPORT_REMOTE_DESKTOP_STATIC,
         "does not run in a Remote Desktop session (the static channel KstCmd1"},
    };
    for (const auto& row : cases) {
        KestavChannel* remote = nullptr;
        EXPECT_EQ(KestavOpen(row.transport, nullptr, 1000, &remote), KESTAV_NO_SESSION) << row.transport;
        EXPECT_EQ(remote, nullptr);
        EXPECT_NE(std::string(KestavLastError(nullptr)).find(row.said), std::string::npos) << KestavLastError(nullptr);
    }
}

// The stand-in wfapi, as an application that loads it calls it.
class StandInWfapi : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        platform::SetEnvironment(loop::kNameVariable, loopName);
        library = LoadLibraryA((testing_support::ExecutableFolder() + "/server/" +
                                (sizeof(void*) == 8 ? "wfapi64.dll" : "wfapi.dll")).c_str());
        ASSERT_NE(library, nullptr);
        open = Proc<HANDLE(WINAPI*)(HANDLE, DWORD, LPSTR)>("WFVirtualChannelOpen");
        close = Proc<BOOL(WINAPI*)(HANDLE)>("WFVirtualChannelClose");
        read = Proc<BOOL(WINAPI*)(HANDLE, ULONG, PCHAR, ULONG, PULONG)>("WFVirtualChannelRead");
        write = Proc<BOOL(WINAPI*)(HANDLE, PCHAR, ULONG, PULONG)>("WFVirtualChannelWrite");
        purge = Proc<BOOL(WINAPI*)(HANDLE)>("WFVirtualChannelPurgeInput");
        query = Proc<BOOL(WINAPI*)(HANDLE, int, PVOID*, DWORD*)>("WFVirtualChannelQuery");
        freeMemory = Proc<VOID(WINAPI*)(PVOID)>("WFFreeMemory");
    }
    void TearDown() override {
        if (library != nullptr) FreeLibrary(library);
        platform::SetEnvironment(loop::kNameVariable, "");
        ServerTest::TearDown();
    }
    template <typename T>
    T Proc(const char* name) {
        return reinterpret_cast<T>(reinterpret_cast<std::uintptr_t>(GetProcAddress(library, name)));
    }
    bool Write(HANDLE handle, std::string text) {
        ULONG written = 0;
        return write(handle, &text[0], ULONG(text.size()), &written) && written == text.size();
    }

    HMODULE library = nullptr;
    HANDLE(WINAPI* open)(HANDLE, DWORD, LPSTR) = nullptr;
    BOOL(WINAPI* close)(HANDLE) = nullptr;
    BOOL(WINAPI* read)(HANDLE, ULONG, PCHAR, ULONG, PULONG) = nullptr;
    BOOL(WINAPI* write)(HANDLE, PCHAR, ULONG, PULONG) = nullptr;
    BOOL(WINAPI* purge)(HANDLE) = nullptr;
    BOOL(WINAPI* query)(HANDLE, int, PVOID*, DWORD*) = nullptr;
    VOID(WINAPI* freeMemory)(PVOID) = nullptr;
};

TEST_F(StandInWfapi, PacketsAreWholeAndOneLargerThanTheBufferIsDiscardedWhole) {
    char commandName[] = "KstCmd1", dataName[] = "KstDta1", otherName[] = "KstXyz1";
    HANDLE command = open(nullptr, DWORD(-1), commandName);
    HANDLE data = open(nullptr, DWORD(-1), dataName);
    ASSERT_NE(command, nullptr);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(open(nullptr, DWORD(-1), otherName), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));

    char buffer[5000];
    ULONG got = 0;
    ASSERT_TRUE(Write(command, "Init|recording|"));
    ASSERT_TRUE(read(data, 10000, buffer, sizeof buffer, &got));
    EXPECT_EQ(std::string(buffer, got), "OK");
    ASSERT_TRUE(Write(command, "SetOption|@text|" + std::string(3000, 's') + "|"));
    ASSERT_TRUE(read(data, 10000, buffer, sizeof buffer, &got));
    ASSERT_TRUE(Write(command, "GetSerialNumber"));
    // Too small a buffer: the packet is discarded, not cut.
    EXPECT_FALSE(read(data, 10000, buffer, 100, &got));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(got, 0u);
    EXPECT_FALSE(read(data, 300, buffer, sizeof buffer, &got)) << "nothing of it is left";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SEM_TIMEOUT));
    // The same again, read whole.
    ASSERT_TRUE(Write(command, "GetSerialNumber"));
    ASSERT_TRUE(read(data, 10000, buffer, sizeof buffer, &got));
    EXPECT_EQ(got, 3003u);
    // Purged input is gone.
    ASSERT_TRUE(Write(command, "Hello"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(purge(data));
    EXPECT_FALSE(read(data, 300, buffer, sizeof buffer, &got));
    // The module's information record.
    PVOID record = nullptr;
    DWORD size = 0;
    ASSERT_TRUE(query(data, 0, &record, &size));
    EXPECT_EQ(size, 48u);
    freeMemory(record);
    EXPECT_TRUE(close(command));
    EXPECT_TRUE(close(data));
    EXPECT_FALSE(close(data)) << "a handle closed twice";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

// A buffer of exactly the packet's size takes it; one byte less discards it.
// The session ends with the last channel closed: another program (here the
// client library) can then take the loop.
TEST_F(StandInWfapi, ABufferOfThePacketsSizeAndTheLoopFreedWithTheLastChannel) {
    char commandName[] = "KstCmd1", dataName[] = "KstDta1";
    HANDLE command = open(nullptr, DWORD(-1), commandName);
    HANDLE data = open(nullptr, DWORD(-1), dataName);
    ASSERT_NE(command, nullptr);
    ASSERT_NE(data, nullptr);
    ASSERT_TRUE(Write(command, "Init|recording|"));
    std::vector<char> buffer(4000, 'x');
    ULONG got = 0;
    ASSERT_TRUE(read(data, 10000, buffer.data(), ULONG(buffer.size()), &got));
    ASSERT_TRUE(Write(command, "SetOption|@text|" + std::string(3000, 's') + "|"));
    ASSERT_TRUE(read(data, 10000, buffer.data(), ULONG(buffer.size()), &got));
    for (const ULONG size : {3002u, 3003u}) {
        SCOPED_TRACE(size);
        ASSERT_TRUE(Write(command, "GetSerialNumber"));
        const BOOL done = read(data, 10000, buffer.data(), size, &got);
        if (size == 3003u) {
            EXPECT_TRUE(done) << GetLastError();
            EXPECT_EQ(got, 3003u);
            EXPECT_EQ(std::string(buffer.data(), 3), "OK|");
        } else {
            EXPECT_FALSE(done);
            EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
        }
    }
    EXPECT_TRUE(close(command));
    EXPECT_EQ(Open(), KESTAV_LOOP_BUSY) << "one channel is still open: the session goes on";
    EXPECT_TRUE(close(data));
    ASSERT_EQ(OpenOnceTheLoopIsFree(), KESTAV_OK) << KestavLastError(nullptr);
    EXPECT_EQ(Call("Hello"), "OK|Hello");
}

// A program may unload the stand-in with a channel still open: the unload
// returns, and the stand-in stays while its connection lives; once the
// channel is closed, it goes with the program's unload.
TEST_F(StandInWfapi, UnloadedWithAChannelOpenTheProgramGoesOn) {
    const char* file = sizeof(void*) == 8 ? "wfapi64.dll" : "wfapi.dll";
    char commandName[] = "KstCmd1";
    HANDLE command = open(nullptr, DWORD(-1), commandName);
    ASSERT_NE(command, nullptr) << GetLastError();
    ASSERT_TRUE(Write(command, "Hello"));
    std::atomic<bool> unloaded{false};
    std::thread unload([&] {
        FreeLibrary(library);
        unloaded = true;
    });
    for (int wait = 0; wait < 2000 && !unloaded; ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!unloaded) {
        unload.detach();
        FAIL() << "the unload hangs";
    }
    unload.join();
    library = nullptr;
    ASSERT_NE(GetModuleHandleA(file), nullptr) << "unloaded under its open connection";

    library = LoadLibraryA((testing_support::ExecutableFolder() + "/server/" + file).c_str());
    ASSERT_NE(library, nullptr);
    EXPECT_TRUE(close(command));
    FreeLibrary(library);
    library = nullptr;
    EXPECT_EQ(GetModuleHandleA(file), nullptr) << "still held after its last channel closed";
}

TEST_F(StandInWfapi, TheRestOfTheApiIsThereAndFailsCleanly) {
    const auto openServer = Proc<HANDLE(WINAPI*)(LPSTR)>("WFOpenServerA");
    const auto logoff = Proc<BOOL(WINAPI*)(HANDLE, DWORD, BOOL)>("WFLogoffSession");
    const auto sendMessage = Proc<BOOL(WINAPI*)(HANDLE, DWORD, LPSTR, DWORD, LPSTR, DWORD, DWORD, DWORD,
                                                DWORD*, BOOL)>("WFSendMessageA");
    ASSERT_NE(openServer, nullptr);
    ASSERT_NE(logoff, nullptr);
    ASSERT_NE(sendMessage, nullptr);
    char name[] = "server";
    EXPECT_EQ(openServer(name), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_CALL_NOT_IMPLEMENTED));
    EXPECT_FALSE(logoff(nullptr, 1, FALSE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_CALL_NOT_IMPLEMENTED));
    // Ten arguments taken off the stack as a stdcall callee does: the
    // caller's stack is as it was (a wrong count would corrupt it here).
    DWORD response = 0;
    for (int i = 0; i < 100; ++i)
        EXPECT_FALSE(sendMessage(nullptr, 1, name, 6, name, 6, 0, 0, &response, FALSE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_CALL_NOT_IMPLEMENTED));
}

// The library loads WFAPI by its full path from the system folder, never a
// library of that name beside the program or in the current folder.
TEST_F(ServerTest, TheCitrixTransportLoadsWfapiFromTheSystemFolderOnly) {
    namespace fs = std::filesystem;
    const std::string file = sizeof(void*) == 8 ? "wfapi64.dll" : "wfapi.dll";
    const fs::path standIn = fs::path(testing_support::ExecutableFolder()) / "server" / file;
    const fs::path besideUs = fs::path(testing_support::ExecutableFolder()) / file;
    char systemFolder[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryA(systemFolder, MAX_PATH), 0u);
    const fs::path inSystem = fs::path(systemFolder) / file;
    // Our own stand-in, of any build, left by a run that was cut short, goes
    // first (it names the local loop, which no real WFAPI does); any other
    // file of that name is a real WFAPI, never touched.
    if (fs::exists(inSystem)) {
        if (testing_support::ReadFile(inSystem.string()).find("Kestav local loop") == std::string::npos)
            GTEST_SKIP() << "a WFAPI of another origin is installed in the system folder";
        fs::remove(inSystem);
    }
    ASSERT_FALSE(fs::exists(inSystem));
    const fs::path inCurrentFolder = fs::current_path() / file;
    // Removed again however the test ends; the current folder may be ours.
    struct Placed {
        std::vector<fs::path> paths;
        ~Placed() {
            std::error_code ignored;
            for (const fs::path& path : paths) fs::remove(path, ignored);
        }
    } placed{{inSystem, besideUs, inCurrentFolder}};
    for (const fs::path& path : {besideUs, inCurrentFolder}) {
        std::error_code ignored;
        fs::remove(path, ignored);  // left by a run that was cut short
        fs::copy_file(standIn, path, fs::copy_options::skip_existing);
    }
    platform::SetEnvironment(loop::kNameVariable, loopName);
    KestavChannel* citrix = nullptr;
    EXPECT_EQ(KestavOpen(KESTAV_TRANSPORT_CITRIX, nullptr, 3000, &citrix), KESTAV_NO_TRANSPORT);
    EXPECT_NE(std::string(KestavLastError(nullptr)).find("is not in the system folder"), std::string::npos);
    fs::copy_file(standIn, inSystem);
    EXPECT_EQ(KestavOpen(KESTAV_TRANSPORT_CITRIX, nullptr, 5000, &citrix), KESTAV_OK)
        << KestavLastError(nullptr);
    if (citrix != nullptr) {
        EXPECT_STREQ(KestavTransportName(citrix), "Citrix");
        KestavChannel* second = nullptr;
        EXPECT_EQ(KestavOpen(KESTAV_TRANSPORT_CITRIX, nullptr, 3000, &second), KESTAV_IN_USE)
            << "one program per session holds the channels";
        char response[64];
        unsigned length = 0;
        EXPECT_EQ(KestavCall(citrix, "KestavClientDriverVersion", 5000, response, sizeof response, &length),
                  KESTAV_OK);
        EXPECT_STREQ(response, "1.6.0");
        // The session's client ends and comes back (here: the loop's listener).
        ReconnectAcrossANewClient(
            citrix, [this] { listener.reset(); }, [this] { listener = std::make_unique<LoopOnThread>(loopName); });
        KestavClose(citrix);
    }
    // With nobody at the other end: not a Citrix session, in words (not the
    // channels of another holder: the close let them go).
    listener.reset();
    EXPECT_EQ(KestavOpen(KESTAV_TRANSPORT_CITRIX, nullptr, 1000, &citrix), KESTAV_NO_SESSION);
    EXPECT_NE(std::string(KestavLastError(nullptr)).find("does not run in a Citrix session"),
              std::string::npos);
    platform::SetEnvironment(loop::kNameVariable, "");
}

}  // namespace
