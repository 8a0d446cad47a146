// One command at a time over a transport, each answer the answer to its own
// command: after a call that timed out, its answer may still come, and the
// next call first makes the channel clean.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "server/Transport.h"

namespace kestav {
namespace detail {

class Conversation {
public:
    explicit Conversation(std::unique_ptr<Transport> transport) : transport_(std::move(transport)) {}

    const Transport& transport() const { return *transport_; }
    // Whether the next exchange first makes the channel clean (an earlier
    // one timed out, or its response was too long); MarkUnsure makes it so.
    bool Unsure() const { return unsure_; }
    void MarkUnsure() { unsure_ = true; }
    // Whether the last exchange's command was written: when it failed after
    // that, the module may have run it.
    bool Sent() const { return sent_; }

    // Writes the command and reads its answer, waiting at most timeoutMs (the
    // clean-up after an earlier time-out has a time limit of its own, the
    // same). A KestavStatus; *error says why when it is not KESTAV_OK.
    int Exchange(const std::string& command, std::uint32_t timeoutMs, std::string* response, std::string* error);

private:
    int MakeClean(std::uint32_t timeoutMs, std::string* error);

    std::unique_ptr<Transport> transport_;
    // A call timed out: its answer may still come, and must never be taken
    // for a later command's.
    bool unsure_ = false;
    bool sent_ = false;
};

}  // namespace detail
}  // namespace kestav
