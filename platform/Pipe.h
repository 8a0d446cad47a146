// Message-mode named pipes on this machine: each send arrives whole as one
// message. The server end refuses remote clients and lets only the current
// user in; a receive that times out leaves its read pending, so no message
// is ever lost or split.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct Pipe;

// Whether this system has them (Windows): the local loop is a Windows one.
extern const bool kPipesAvailable;

// TooLarge: the next message is longer than the receiver takes; nothing of it
// beyond the first chunk was read, and the other end is not to be trusted.
enum class PipeWait { Done, TimedOut, Closed, TooLarge };

// "\\.\pipe\<name>", one instance of it; `first`: fail when the name is in
// use already (another listener). Null with *error (the system's code).
Pipe* CreatePipeInstance(const std::string& name, bool first, std::uint32_t* error);
// Waits at most timeoutMs for a client of this instance.
PipeWait AcceptPipeClient(Pipe* pipe, std::uint32_t timeoutMs);
// Lets the connected client go; the instance can accept the next one.
void DisconnectPipeClient(Pipe* pipe);

// The client end, tried until timeoutMs is up. Null with *error: 2
// (ERROR_FILE_NOT_FOUND) when nobody listens, 231 (ERROR_PIPE_BUSY) when
// every instance stays taken.
Pipe* ConnectPipe(const std::string& name, std::uint32_t timeoutMs, std::uint32_t* error);

// One whole message; false when the other end is gone.
bool PipeSend(Pipe* pipe, const std::vector<std::uint8_t>& message);
// The next whole message, waiting at most timeoutMs (0: only what is there).
// A message longer than maximumSize is never gathered: its size is read
// from the pipe first, and the result is TooLarge.
PipeWait PipeReceive(Pipe* pipe, std::vector<std::uint8_t>* message, std::uint32_t timeoutMs,
                     std::size_t maximumSize);
// The client end: whether the pipe was made by the current user (its owner)
// in a process that runs as the current user. Checked before anything is
// sent, so that a pipe another user made under the same name is never told
// anything, nor believed.
bool PipeServerIsCurrentUser(Pipe* pipe);
// Makes a PipeReceive waiting on another thread return Closed.
void InterruptPipe(Pipe* pipe);
void ClosePipe(Pipe* pipe);

}  // namespace platform
