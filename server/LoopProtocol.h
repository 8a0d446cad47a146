// What a server-side program (through the stand-in wfapi or the client
// library) and kestav-host --listen say to each other over the local loop's
// pipe. Each pipe message is one frame: a kind byte, then its fields,
// little-endian. A decoder takes any bytes and either fills its record or
// says no.
//
//   Welcome  listener -> program  the session is open: the engine's rules
//   Busy     listener -> program  another program holds the session (why)
//   Write    program -> listener  one write into a channel
//   Written  listener -> program  the engine's answer to that write
//   Packet   listener -> program  one packet the module sent on a channel
//   Query    program -> listener  the module's data for a channel
//   Queried  listener -> program  that data
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace loop {

// The pipe's name, "\\.\pipe\KestavLoop-<session>-<name>": the number of
// the user's logon session, so that two users of one PC never meet, and
// "default" unless the listener is given another name (the environment
// variable KESTAV_LOOP tells the stand-in wfapi and the client library).
constexpr const char* kPipePrefix = "KestavLoop-";
std::string PipeName(const std::string& name);
constexpr const char* kDefaultName = "default";
constexpr const char* kNameVariable = "KESTAV_LOOP";
constexpr std::uint32_t kProtocolVersion = 1;
// The longest write into a channel: the write hook takes 16-bit lengths.
constexpr std::size_t kMaximumWrite = 0xFFFF;
// A packet is never longer than the engine's largest write.
constexpr std::size_t kMaximumPacket = 0xFFFF;
// The longest frame either end takes off the pipe: the longest write or
// packet and the fields before it.
constexpr std::size_t kLongestFrame = kMaximumWrite + 16;

enum class Channel : std::uint8_t { Command = 0, Data = 1 };
// "KstCmd1" -> Command; false for any other name.
bool ChannelOf(const std::string& name, Channel* channel);
const char* ChannelName(Channel channel);

enum class Kind : std::uint8_t { Welcome = 1, Busy = 2, Write = 3, Written = 4, Packet = 5, Query = 6, Queried = 7 };

enum class WriteStatus : std::uint32_t {
    Done = 0,
    TooLong = 1,   // longer than the engine's largest write: refused whole
    NoChannel = 2  // the module registered no write hook on it
};

struct Frame {
    Kind kind = Kind::Welcome;
    Channel channel = Channel::Command;   // Write, Written, Packet, Query
    WriteStatus status = WriteStatus::Done;  // Written
    std::uint32_t version = 0;            // Welcome
    std::uint32_t maximumPacket = 0;      // Welcome: the engine's largest packet, less the channel byte
    std::uint8_t hpc = 0;                 // Welcome
    std::string bytes;                    // Busy (the reason), Write, Packet, Queried
};

void Encode(const Frame& frame, std::vector<std::uint8_t>* message);
[[nodiscard]] bool Decode(const std::uint8_t* bytes, std::size_t size, Frame* frame);

}  // namespace loop
