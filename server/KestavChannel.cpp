// The client library's channel: a transport, and the rules of one command
// at a time, a clean channel after a time-out, and errors in words.
#if defined(_WIN32)
#define KESTAV_API __declspec(dllexport)
#else
#define KESTAV_API __attribute__((visibility("default")))
#endif
#include "server/KestavChannel.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Session.h"
#include "server/Conversation.h"
#include "server/Deadline.h"
#include "server/LoopClient.h"
#include "server/Transport.h"

using kestav::detail::Transport;

struct KestavChannel {
    KestavChannel(int kind, std::string loop, std::unique_ptr<kestav::detail::Conversation> opened)
        : transport(kind), loopName(std::move(loop)), conversation(std::move(opened)) {}
    int transport;         // the one chosen at the open, KESTAV_TRANSPORT_AUTO resolved
    std::string loopName;  // of the local loop
    std::unique_ptr<kestav::detail::Conversation> conversation;
    // The client went (a call found the session or the loop ended): the next
    // call opens the channels again, or says the client is still away.
    bool away = false;
    std::mutex callLock;  // one command in flight
    std::string lastResponse;
    std::string lastError;
};

namespace {

thread_local std::string openError;

const char* const kHelloResponse = "OK|Hello";

int SetError(KestavChannel* channel, int status, const std::string& error) {
    channel->lastError = error;
    return status;
}

int Exchange(KestavChannel* channel, const std::string& command, std::uint32_t timeoutMs,
             std::string* response) {
    std::string error;
    const int status = channel->conversation->Exchange(command, timeoutMs, response, &error);
    return status == KESTAV_OK ? status : SetError(channel, status, error);
}

unsigned Output(const std::string& text, char* out, unsigned size) {
    if (out != nullptr && size > text.size()) {
        std::memcpy(out, text.data(), text.size());
        out[text.size()] = '\0';
    }
    return unsigned(text.size());
}

std::string Replace(const std::string& text, const std::string& from, const std::string& to) {
    std::string result;
    std::size_t at = 0;
    for (std::size_t found; (found = text.find(from, at)) != std::string::npos; at = found + from.size())
        result.append(text, at, found - at).append(to);
    return result.append(text, at, std::string::npos);
}

// By the session the program runs in: ICA, RDP, or this PC itself.
int ChosenTransport(int transport) {
    if (transport != KESTAV_TRANSPORT_AUTO) return transport;
    const int protocol = platform::SessionProtocol();
    return protocol == 1   ? KESTAV_TRANSPORT_CITRIX
           : protocol == 2 ? KESTAV_TRANSPORT_REMOTE_DESKTOP
                           : KESTAV_TRANSPORT_LOCAL_LOOP;
}

int OpenTransport(int transport, const std::string& loopName, unsigned timeoutMs,
                  std::unique_ptr<Transport>* opened, std::string* error) {
    int status = KESTAV_INVALID_ARGUMENT;
    switch (transport) {
        case KESTAV_TRANSPORT_CITRIX:
            *opened = kestav::detail::OpenCitrix(&status, error);
            return status;
        case KESTAV_TRANSPORT_LOCAL_LOOP:
            *opened = kestav::detail::OpenLoop(loopName, timeoutMs, &status, error);
            return status;
        case KESTAV_TRANSPORT_REMOTE_DESKTOP:
            *opened = kestav::detail::OpenRemoteDesktop(&status, error);
            return status;
        default:
            *error = "unknown transport " + std::to_string(transport);
            return status;
    }
}

// The channels opened and the module answering "Hello" within timeoutMs:
// KESTAV_OK with *conversation; otherwise the status and *error.
// A channel that opens again after its client went does not wait for a
// listener of the local loop to come up: the client is away until it is there.
constexpr unsigned kReopenWaitMs = 500;

int OpenConversation(int transport, const std::string& loopName, unsigned timeoutMs, unsigned openMs,
                     std::unique_ptr<kestav::detail::Conversation>* conversation, std::string* error) {
    const kestav::detail::Deadline deadline(timeoutMs);
    std::unique_ptr<Transport> way;
    int status = OpenTransport(transport, loopName, openMs, &way, error);
    if (status != KESTAV_OK) return status;
    const std::string name = way->Name();
    auto opened = std::make_unique<kestav::detail::Conversation>(std::move(way));
    std::string response;
    status = opened->Exchange("Hello", deadline.LeftMs(), &response, error);
    if (status == KESTAV_TIMEOUT || (status == KESTAV_OK && response != kHelloResponse)) {
        *error = "the " + name + " channels are open, but nothing answered \"Hello\" within " +
                 std::to_string(timeoutMs) + " ms: the client has no Kestav module, or the client does not load it";
        return KESTAV_MODULE_ABSENT;
    }
    if (status != KESTAV_OK) return status;
    *conversation = std::move(opened);
    return KESTAV_OK;
}

// A call after the client went: the channels opened again and the module
// answering, within the call's limit, is a new client (KESTAV_CLIENT_CHANGED,
// the command not run); anything else is the client still away.
int Reconnect(KestavChannel* channel, unsigned timeoutMs) {
    const std::string again = "the client is away (the user disconnected, or the client ended); "
                              "calls work again once the user has reconnected";
    if (!platform::SessionHasClient())
        return SetError(channel, KESTAV_DISCONNECTED, again + ": this session has no client connected now");
    std::unique_ptr<kestav::detail::Conversation> conversation;
    std::string error;
    const int status = OpenConversation(channel->transport, channel->loopName, timeoutMs,
                                        std::min(timeoutMs, kReopenWaitMs), &conversation, &error);
    if (status != KESTAV_OK) return SetError(channel, KESTAV_DISCONNECTED, again + ": " + error);
    channel->conversation = std::move(conversation);
    channel->away = false;
    return SetError(channel, KESTAV_CLIENT_CHANGED,
                    "the client was reconnected: set the instrument up again (Init, Connect, calibration as "
                    "needed), then call again; the command was not run");
}

}  // namespace

extern "C" {

KESTAV_API int KESTAV_CALL KestavOpen(int transport, const char* loopName, unsigned timeoutMs,
                                      KestavChannel** channel) {
    try {
        if (channel == nullptr) {
            openError = "no place for the channel";
            return KESTAV_INVALID_ARGUMENT;
        }
        *channel = nullptr;
        const int kind = ChosenTransport(transport);
        const std::string loop = loopName != nullptr ? loopName : loop::NameFromEnvironment();
        std::unique_ptr<kestav::detail::Conversation> conversation;
        const int status = OpenConversation(kind, loop, timeoutMs, timeoutMs, &conversation, &openError);
        if (status != KESTAV_OK) return status;
        *channel = new KestavChannel(kind, loop, std::move(conversation));
        openError.clear();
        return KESTAV_OK;
    } catch (...) {
        openError = "out of memory";
        return KESTAV_INVALID_ARGUMENT;
    }
}

KESTAV_API void KESTAV_CALL KestavClose(KestavChannel* channel) {
    delete channel;
}

KESTAV_API int KESTAV_CALL KestavCall(KestavChannel* channel, const char* command, unsigned timeoutMs,
                                      char* response, unsigned size, unsigned* length) {
    if (channel == nullptr || command == nullptr) return KESTAV_INVALID_ARGUMENT;
    try {
        std::lock_guard<std::mutex> one(channel->callLock);
        if (channel->away) return Reconnect(channel, timeoutMs);
        const kestav::detail::Deadline deadline(timeoutMs);
        int status = Exchange(channel, command, timeoutMs, &channel->lastResponse);
        // The session or the loop ended, or the session lost its client while
        // this call waited: the client has gone. A new one already there is
        // found within what is left of this call; otherwise the next call
        // looks again.
        if (status == KESTAV_DISCONNECTED || (status == KESTAV_TIMEOUT && !platform::SessionHasClient())) {
            channel->away = true;
            return Reconnect(channel, deadline.LeftMs());
        }
        if (status != KESTAV_OK) return status;
        if (length != nullptr) *length = unsigned(channel->lastResponse.size());
        if (response == nullptr || size <= channel->lastResponse.size())
            return SetError(channel, KESTAV_BUFFER_TOO_SMALL,
                            "the response of " + std::to_string(channel->lastResponse.size()) +
                                " bytes does not fit the buffer");
        Output(channel->lastResponse, response, size);
        return KESTAV_OK;
    } catch (...) {
        return KESTAV_INVALID_ARGUMENT;
    }
}

KESTAV_API int KESTAV_CALL KestavLastResponse(KestavChannel* channel, char* response, unsigned size,
                                              unsigned* length) {
    if (channel == nullptr) return KESTAV_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> one(channel->callLock);
    if (length != nullptr) *length = unsigned(channel->lastResponse.size());
    if (response == nullptr || size <= channel->lastResponse.size()) return KESTAV_BUFFER_TOO_SMALL;
    Output(channel->lastResponse, response, size);
    return KESTAV_OK;
}

KESTAV_API int KESTAV_CALL KestavModuleVersion(KestavChannel* channel, unsigned timeoutMs, char* version,
                                               unsigned size) {
    unsigned length = 0;
    return KestavCall(channel, "KestavClientDriverVersion", timeoutMs, version, size, &length);
}

KESTAV_API const char* KESTAV_CALL KestavTransportName(KestavChannel* channel) {
    return channel != nullptr ? channel->conversation->transport().Name() : "";
}

KESTAV_API const char* KESTAV_CALL KestavLastError(KestavChannel* channel) {
    return channel != nullptr ? channel->lastError.c_str() : openError.c_str();
}

KESTAV_API const char* KESTAV_CALL KestavStatusText(int status) {
    switch (status) {
        case KESTAV_OK: return "done";
        case KESTAV_TIMEOUT: return "no answer within the time limit";
        case KESTAV_NO_SESSION: return "not in a session of that transport";
        case KESTAV_CHANNEL_BLOCKED: return "the channel cannot be opened (virtual channel allow list?)";
        case KESTAV_MODULE_ABSENT: return "no Kestav module answers on the client";
        case KESTAV_NO_TRANSPORT: return "the transport is not available here";
        case KESTAV_LOOP_BUSY: return "another program holds the local loop";
        case KESTAV_DISCONNECTED: return "the session or the loop has ended";
        case KESTAV_BUFFER_TOO_SMALL: return "the response does not fit the buffer";
        case KESTAV_INVALID_ARGUMENT: return "invalid argument";
        case KESTAV_WRITE_REFUSED: return "the command is longer than the transport takes";
        case KESTAV_RESPONSE_TOO_LONG: return "the client sent a response longer than any the module sends";
        case KESTAV_CLIENT_CHANGED: return "the client was reconnected: set the instrument up again";
        default: return "unknown status";
    }
}

KESTAV_API const char* KESTAV_CALL KestavLibraryVersion(void) {
    return KST_VERSION;
}

KESTAV_API unsigned KESTAV_CALL KestavEscape(const char* text, char* out, unsigned size) {
    return Output(Replace(text != nullptr ? text : "", "|", "&vert;"), out, size);
}

KESTAV_API unsigned KESTAV_CALL KestavUnescape(const char* text, char* out, unsigned size) {
    return Output(Replace(text != nullptr ? text : "", "&vert;", "|"), out, size);
}

}  // extern "C"
