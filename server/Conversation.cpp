#include "server/Conversation.h"

#include <atomic>

#include "relay/Result.h"
#include "server/Deadline.h"
#include "server/KestavChannel.h"

namespace kestav {
namespace detail {

Clock::time_point (*Now)() = &Clock::now;

namespace {

std::atomic<unsigned> syncCounter{0};

}  // namespace

// After a time-out: a command the module answers with a text only this call
// knows. Everything read before that answer is an earlier command's late
// answer and is dropped; anything the module still works on for earlier
// commands is superseded by it (the module answers the newest command only).
int Conversation::MakeClean(std::uint32_t timeoutMs, std::string* error) {
    const std::string marker = "KestavSync-" + std::to_string(++syncCounter) + "-" +
                               std::to_string(Clock::now().time_since_epoch().count());
    const std::string expected = relay::UnknownCommand(marker).ToResponse();
    const Deadline deadline(timeoutMs);
    int status = transport_->Purge(deadline.LeftMs(), error);
    if (status != KESTAV_OK) return status;
    status = transport_->Write(marker, error);
    if (status != KESTAV_OK) return status;
    for (;;) {
        std::string response;
        status = transport_->Read(deadline.LeftMs(), &response, error);
        if (status == KESTAV_OK && response == expected) break;
        // A late answer before the marker's, however long, is dropped; the
        // limit holds however many come.
        const bool dropped = status == KESTAV_OK || status == KESTAV_RESPONSE_TOO_LONG;
        if (status == KESTAV_TIMEOUT || (dropped && deadline.Passed())) {
            *error = "the instrument is still busy with an earlier command (no answer within " +
                     std::to_string(timeoutMs) + " ms)";
            return KESTAV_TIMEOUT;
        }
        if (!dropped) return status;
    }
    unsure_ = false;
    return KESTAV_OK;
}

int Conversation::Exchange(const std::string& command, std::uint32_t timeoutMs, std::string* response,
                           std::string* error) {
    sent_ = false;
    if (unsure_) {
        const int status = MakeClean(timeoutMs, error);
        if (status != KESTAV_OK) return status;
    }
    const Deadline deadline(timeoutMs);
    int status = transport_->Purge(deadline.LeftMs(), error);
    if (status != KESTAV_OK) {
        unsure_ = true;
        return status;
    }
    status = transport_->Write(command, error);
    if (status != KESTAV_OK) return status;
    sent_ = true;
    std::string said;
    status = transport_->Read(deadline.LeftMs(), response, &said);
    if (status == KESTAV_TIMEOUT) {
        unsure_ = true;
        *error = "no answer to \"" + command + "\" within " + std::to_string(timeoutMs) + " ms" +
                 (said.empty() ? "" : ": " + said);
    } else if (status == KESTAV_RESPONSE_TOO_LONG) {
        // The rest of it may still come: the next call cleans the channel first.
        unsure_ = true;
        *error = said;
    } else if (status != KESTAV_OK) {
        *error = said;
    }
    return status;
}

}  // namespace detail
}  // namespace kestav
