#include "server/Conversation.h"

#include <atomic>
#include <chrono>

#include "server/KestavChannel.h"

namespace kestav {
namespace detail {

namespace {

std::atomic<unsigned> syncCounter{0};

}  // namespace

// After a time-out: a command the module answers with a text only this call
// knows. Everything read before that answer is an earlier command's late
// answer and is dropped; anything the module still works on for earlier
// commands is superseded by it (the module answers the newest command only).
int Conversation::MakeClean(std::uint32_t timeoutMs, std::string* error) {
    const std::string marker = "KestavSync-" + std::to_string(++syncCounter) + "-" +
                               std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    const std::string expected = "ERROR|Unknown command \"" + marker + "\"";
    transport_->Purge();
    int status = transport_->Write(marker, error);
    if (status != KESTAV_OK) return status;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        std::string response;
        status = transport_->Read(left.count() > 0 ? std::uint32_t(left.count()) : 0, &response, error);
        if (status == KESTAV_TIMEOUT) {
            *error = "the instrument is still busy with an earlier command (no answer within " +
                     std::to_string(timeoutMs) + " ms)";
            return status;
        }
        if (status != KESTAV_OK) return status;
        if (response == expected) break;  // a late answer before it is dropped
    }
    unsure_ = false;
    return KESTAV_OK;
}

int Conversation::Exchange(const std::string& command, std::uint32_t timeoutMs, std::string* response,
                           std::string* error) {
    if (unsure_) {
        const int status = MakeClean(timeoutMs, error);
        if (status != KESTAV_OK) return status;
    }
    transport_->Purge();
    int status = transport_->Write(command, error);
    if (status != KESTAV_OK) return status;
    status = transport_->Read(timeoutMs, response, error);
    if (status == KESTAV_TIMEOUT) {
        unsure_ = true;
        *error = "no answer to \"" + command + "\" within " + std::to_string(timeoutMs) + " ms";
    }
    return status;
}

}  // namespace detail
}  // namespace kestav
