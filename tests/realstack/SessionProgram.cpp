// The server side of the real-stack stage: runs inside an xrdp session as
// the test user, drives the client's module through xrdp, FreeRDP and the
// add-in with the client library, and prints one line per check ("ok ..." or
// "FAILED ..."), then "checks: N passed, M failed" and the round-trip figures.
// Usage: kestav-session-program TRANSCRIPT ROUNDS [slow | reconnect]
//   TRANSCRIPT: the session transcript ("> command", "< response" lines)
//   ROUNDS: round trips timed for the module and for the echo add-in
//   slow: instead, start a Measure that takes 8 s, print "slow command
//   running" and wait, so that the session or the client can be ended
//   during it
//   reconnect: instead, keep one channel while the client is killed and
//   started again twice (once while idle: after "idle, waiting for the
//   client to go"; once during an 8 s Measure: after "slow command running");
//   each time: calls while the client is away, then the new client, set up
//   and measured again ("measured again at <ms since the epoch>")
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/SessionChannel.h"
#include "server/KestavChannel.h"
#include "server/StreamReassembly.h"

namespace {

int passed = 0, failed = 0;

void Check(bool good, const std::string& what, const std::string& detail = std::string()) {
    if (good) {
        ++passed;
        std::printf("ok      %s\n", what.c_str());
    } else {
        ++failed;
        std::printf("FAILED  %s%s%s\n", what.c_str(), detail.empty() ? "" : ": ", detail.c_str());
    }
    std::fflush(stdout);
}

std::string Shown(const std::string& text) {
    return text.size() <= 120 ? text : text.substr(0, 120) + "... [" + std::to_string(text.size()) + " bytes]";
}

// Calls, turning a failure into a response-like text that no check expects.
std::string Call(kestav::Channel& channel, const std::string& command, unsigned timeoutMs = 20000) {
    try {
        return channel.Call(command, timeoutMs);
    } catch (const kestav::Error& error) {
        return std::string("(call failed: ") + error.what() + ")";
    }
}

using Clock = std::chrono::steady_clock;

double MedianMicroseconds(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The bare stack: a message to the echo add-in and back, on its own channel.
// One round trip through the echo add-in, in microseconds; false when the
// message did not come back.
bool EchoOnce(platform::SessionChannel* echo, const std::string& message, double* microseconds) {
    std::uint32_t error = 0;
    std::vector<std::uint8_t> chunk;
    const auto begin = Clock::now();
    if (!platform::SessionChannelWrite(echo, message, &error)) return false;
    std::string back;
    while (back.size() < message.size()) {
        if (platform::SessionChannelRead(echo, 5000, &chunk) != platform::ChunkWait::Done) return false;
        back.append(chunk.begin(), chunk.end());
    }
    *microseconds = std::chrono::duration<double, std::micro>(Clock::now() - begin).count();
    return back == message;
}

}  // namespace

std::int64_t EpochMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The status and words of one call, turning failures into values.
int CallStatus(kestav::Channel& channel, const std::string& command, unsigned timeoutMs, std::string* said) {
    try {
        *said = channel.Call(command, timeoutMs);
        return KESTAV_OK;
    } catch (const kestav::Error& error) {
        *said = error.what();
        return error.Status();
    }
}

// The instrument set up as after Init, through a measurement.
bool SetUpAndMeasure(kestav::Channel& channel) {
    for (const char* command : {"Init|sim|", "Connect", "Calibrate", "CalibrateStep|White|", "CalibrateStep|Black|"})
        if (Call(channel, command).compare(0, 2, "OK") != 0) return false;
    return Call(channel, "Measure") == "OK|true";
}

// The client went (the script killed it) and comes back: calls while it is
// away fail at once, the first with it back says it changed, and the
// program sets the instrument up again. `round` names the round in the output.
void UntilTheClientIsBack(kestav::Channel& channel, const std::string& round) {
    const unsigned kLimitMs = 3000;
    int away = 0, changed = 0;
    double longestAway = 0;
    std::string said, lastSaid, times;
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    while (changed == 0 && Clock::now() < deadline) {
        const auto begin = Clock::now();
        const int status = CallStatus(channel, "IsConnected", kLimitMs, &said);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
        if (status == KESTAV_DISCONNECTED || status == KESTAV_TIMEOUT) {
            ++away;
            longestAway = std::max(longestAway, ms);
            times += (times.empty() ? "" : " ") + std::to_string(int(ms));
            // What the calls say while the client is away, each new text once.
            if (said != lastSaid) std::printf("%s: away (%d, %.0f ms): %s\n", round.c_str(), status, ms, said.c_str());
            std::fflush(stdout);
            lastSaid = said;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        } else if (status == KESTAV_CLIENT_CHANGED) {
            ++changed;
        }
    }
    std::printf("%s: %d calls while the client was away, the longest %.0f ms (each: %s ms)\n", round.c_str(), away,
                longestAway, times.c_str());
    // (During the Measure, the new client may be there before the call returns.)
    Check(away > 0 || round == "measuring", round + ": calls while the client is away fail", said);
    Check(longestAway <= kLimitMs + 500, round + ": each within its time limit (" + std::to_string(kLimitMs) + " ms)");
    Check(changed == 1, round + ": the first call with the new client says the client changed", said);
    const bool measured = SetUpAndMeasure(channel);
    Check(measured, round + ": set up again and measured with the same channel");
    if (measured) std::printf("%s: measured again at %lld\n", round.c_str(), static_cast<long long>(EpochMs()));
    std::fflush(stdout);
}

int Reconnect(kestav::Channel& channel) {
    Check(SetUpAndMeasure(channel), "set up and measured with the first client");
    std::printf("idle, waiting for the client to go\n");
    std::fflush(stdout);
    // The client is killed while the channel is idle.
    std::string said;
    for (;;) {
        const auto begin = Clock::now();
        const int status = CallStatus(channel, "IsConnected", 3000, &said);
        if (status != KESTAV_OK) {
            std::printf("idle: the first call without the client: %d in %.0f ms: %s\n", status,
                        std::chrono::duration<double, std::milli>(Clock::now() - begin).count(), said.c_str());
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    UntilTheClientIsBack(channel, "idle");
    // And during a Measure of 8 s.
    Check(Call(channel, "Execute|MEASURETIME=8000|").compare(0, 2, "OK") == 0, "a slow Measure set");
    std::printf("slow command running\n");
    std::fflush(stdout);
    // Given the time the measurement takes and a little more, as a program would.
    const int during = CallStatus(channel, "Measure", 10000, &said);
    Check(during != KESTAV_OK, "the Measure the client was killed in fails", std::to_string(during) + " " + said);
    UntilTheClientIsBack(channel, "measuring");
    std::printf("checks: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

// The client streams without end once it is sent "Measure" (its add-in is a
// hostile one): each call, the first and every later one, ends within its
// limit as a time-out or a response too long, never as "the client is away".
int Streaming(kestav::Channel& channel) {
    const unsigned kLimitMs = 1000;
    std::string times, said;
    for (int call = 0; call < 5; ++call) {
        const auto begin = Clock::now();
        const int status = CallStatus(channel, "Measure", kLimitMs, &said);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
        times += (times.empty() ? "" : " ") + std::to_string(int(ms));
        Check(status == KESTAV_TIMEOUT || status == KESTAV_RESPONSE_TOO_LONG,
              "call " + std::to_string(call + 1) + " while the client streams: a time-out", std::to_string(status) + " " + said);
        Check(ms <= kLimitMs + 250, "call " + std::to_string(call + 1) + " within its limit", std::to_string(int(ms)) + " ms");
    }
    std::printf("streaming: 5 calls of %u ms while the client streams without end (each: %s ms)\n", kLimitMs,
                times.c_str());
    std::printf("checks: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
    const std::string mode = argc == 4 ? argv[3] : "";
    // static: the client has the static plug-in alone, which the library finds by itself.
    const bool statics = mode == "static";
    if (argc != 3 && !(argc == 4 && (mode == "slow" || mode == "reconnect" || mode == "stream" || statics))) {
        std::fprintf(stderr, "usage: kestav-session-program TRANSCRIPT ROUNDS [slow | reconnect | stream | static]\n");
        return 2;
    }
    const int rounds = std::atoi(argv[2]);
    // The session's channel service comes up a little after the session.
    std::unique_ptr<kestav::Channel> opened;
    std::string why;
    for (int attempt = 0; attempt < 100 && !opened; ++attempt) {
        try {
            opened = std::make_unique<kestav::Channel>(KESTAV_TRANSPORT_AUTO, 5000);
        } catch (const kestav::Error& error) {
            why = error.what();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    Check(opened != nullptr, "the client library opens the channels in the xrdp session", why);
    if (!opened) return 1;
    kestav::Channel& channel = *opened;
    const std::string transport = statics ? "Remote Desktop static" : "Remote Desktop";
    Check(channel.TransportName() == transport, "over the " + transport + " transport", channel.TransportName());

    if (mode == "stream") return Streaming(channel);
    // A second holder in the same session (here: this program again) is refused, before it opens anything.
    int second = KESTAV_OK;
    try {
        kestav::Channel another(KESTAV_TRANSPORT_AUTO, 2000);
    } catch (const kestav::Error& error) {
        second = error.Status();
    }
    Check(second == KESTAV_IN_USE, "a second holder of the session's channels is refused", std::to_string(second));
    Check(Call(channel, "Hello") == "OK|Hello", "the first holder is answered after it");

    if (mode == "reconnect") return Reconnect(channel);
    if (mode == "slow") {
        for (const char* command : {"Init|sim|", "Connect", "Calibrate", "CalibrateStep|White|",
                                    "CalibrateStep|Black|", "Execute|MEASURETIME=8000|"})
            Check(Call(channel, command).compare(0, 2, "OK") == 0, command);
        std::thread([&channel] { (void)Call(channel, "Measure", 60000); }).detach();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        std::printf("slow command running\n");
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::hours(1));
        return 0;
    }

    // Every command of the protocol, as the transcript has them.
    std::ifstream transcript(argv[1]);
    std::string line, command;
    int commands = 0;
    while (std::getline(transcript, line)) {
        if (line.compare(0, 2, "> ") == 0) {
            command = line.substr(2);
        } else if (line.compare(0, 2, "< ") == 0) {
            const std::string response = Call(channel, command);
            Check(response == line.substr(2), "transcript: " + command, "got \"" + Shown(response) + "\"");
            ++commands;
        }
    }
    Check(commands > 40, "the transcript ran (" + std::to_string(commands) + " commands)");

    // The longest response, whole and in order; one byte more is refused in words.
    const std::string longest = Call(channel, "Execute|TEXT=1048573|");
    bool letters = longest.size() == 1048576 && longest.compare(0, 3, "OK|") == 0;
    for (std::size_t i = 3; letters && i < longest.size(); ++i) letters = longest[i] == char('a' + (i - 3) % 26);
    Check(letters, "the longest response (1 MiB) arrives whole", Shown(longest));
    Check(Call(channel, "Execute|TEXT=1048574|") == "ERROR|Response too long", "one byte longer: refused");
    // A response that fills the first channel PDU exactly, and one just past it.
    for (std::size_t size : {kestav::detail::kWholeBelow - 4, kestav::detail::kWholeBelow - 3,
                             std::size_t(1598), std::size_t(1599), std::size_t(5000)}) {
        const std::string response = Call(channel, "Execute|TEXT=" + std::to_string(size) + "|");
        Check(response.size() == size + 3 && response.compare(0, 3, "OK|") == 0,
              "a response of " + std::to_string(size + 3) + " bytes", Shown(response));
    }

    // Hostile inputs over the real stack: each answered in words, the session
    // goes on. A write xrdp would cut is refused by the library (written raw, at
    // the end below, its pieces are commands of their own).
    std::string response;
    try {
        response = channel.Call(std::string(40000, 'A'), 5000);
    } catch (const kestav::Error& error) {
        response = KestavStatusText(error.Status());
    }
    Check(response == KestavStatusText(KESTAV_WRITE_REFUSED), "a command of 40,000 bytes: refused by the library",
          Shown(response));
    response = Call(channel, "Hello\x01\xff|\r\n");
    Check(response == "OK|Hello", "control bytes in a command", Shown(response));
    response = Call(channel, "Init|../../../etc/passwd|");
    Check(response.compare(0, 26, "ERROR|Error loading driver") == 0, "a driver name that climbs out of its folder",
          Shown(response));
    Check(Call(channel, "Init|sim|") == "OK" && Call(channel, "Connect") == "OK|true", "the simulator again");

    // The round trip: the module (a driver call on the instrument thread)
    // and the bare stack (the echo add-in), one after the other, so that
    // both see the same moments of a busy machine.
    std::vector<double> module, echo;
    std::uint32_t echoError = 0;
    // Static channels are compared with the static echo, dynamic with the dynamic one.
    platform::SessionChannel* echoChannel = statics ? platform::OpenStaticChannel("KstEchS", &echoError)
                                                    : platform::OpenDynamicChannel("KstEcho", &echoError);
    for (int i = 0; i < rounds && echoChannel != nullptr; ++i) {
        const auto begin = Clock::now();
        if (Call(channel, "GetSerialNumber") != "OK|KSIM-000417") break;
        module.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
        double echoed = 0;
        if (!EchoOnce(echoChannel, "OK|KSIM-000417", &echoed)) break;
        echo.push_back(echoed);
    }
    if (echoChannel != nullptr) platform::CloseSessionChannel(echoChannel);
    Check(int(module.size()) == rounds, "module round trips timed (" + std::to_string(module.size()) + ")");
    Check(int(echo.size()) == rounds, "echo add-in round trips timed (" + std::to_string(echo.size()) + ")");
    if (!module.empty() && !echo.empty())
        std::printf("round trip, median of %d: module %.0f us, echo add-in %.0f us, module/echo %.3f, "
                    "the module adds %.0f us\n",
                    rounds, MedianMicroseconds(module), MedianMicroseconds(echo),
                    MedianMicroseconds(module) / MedianMicroseconds(echo),
                    MedianMicroseconds(module) - MedianMicroseconds(echo));

    // Last, 70,000 bytes written raw by a program without the library (the
    // library's channel closed first: the client takes one connection of a
    // channel at a time): xrdp passes them on as three messages, each a
    // command the module answers. The module must still answer a program after them.
    opened.reset();
    std::uint32_t code = 0;
    platform::SessionChannel* raw =
        statics ? platform::OpenStaticChannel("KstCmd1", &code) : platform::OpenDynamicChannel("KstCmd1", &code);
    Check(raw != nullptr && platform::SessionChannelWrite(raw, std::string(70000, 'A'), &code),
          "70,000 bytes written raw into the command channel", std::to_string(code));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // their answers, to the raw channel
    if (raw != nullptr) platform::CloseSessionChannel(raw);
    bool answered = false;
    for (int attempt = 0; attempt < 10 && !answered; ++attempt) {
        try {
            answered = kestav::Channel(KESTAV_TRANSPORT_AUTO, 5000).Call("KestavClientDriverVersion", 5000) == "1.6.0";
        } catch (const kestav::Error&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    Check(answered, "the module still answers a program after them");

    std::printf("checks: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
