// The client library's channel: a transport, and the rules of one command
// at a time, a clean channel after a time-out, and errors in words.
#if defined(_WIN32)
#define KESTAV_API __declspec(dllexport)
#else
#define KESTAV_API __attribute__((visibility("default")))
#endif
#include "server/KestavChannel.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Session.h"
#include "server/Conversation.h"
#include "server/LoopClient.h"
#include "server/Transport.h"

using kestav::detail::Transport;

struct KestavChannel {
    explicit KestavChannel(std::unique_ptr<Transport> transport) : conversation(std::move(transport)) {}
    kestav::detail::Conversation conversation;
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
    const int status = channel->conversation.Exchange(command, timeoutMs, response, &error);
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

int OpenTransport(int transport, const char* loopName, unsigned timeoutMs,
                  std::unique_ptr<Transport>* opened, std::string* error) {
    if (transport == KESTAV_TRANSPORT_AUTO) {
        // By the session the program runs in: ICA, RDP, or this PC itself.
        const int protocol = platform::SessionProtocol();
        transport = protocol == 1   ? KESTAV_TRANSPORT_CITRIX
                    : protocol == 2 ? KESTAV_TRANSPORT_REMOTE_DESKTOP
                                    : KESTAV_TRANSPORT_LOCAL_LOOP;
    }
    int status = KESTAV_INVALID_ARGUMENT;
    switch (transport) {
        case KESTAV_TRANSPORT_CITRIX:
            *opened = kestav::detail::OpenCitrix(&status, error);
            return status;
        case KESTAV_TRANSPORT_LOCAL_LOOP:
            *opened = kestav::detail::OpenLoop(loopName != nullptr ? loopName : loop::NameFromEnvironment(),
                                               timeoutMs, &status, error);
            return status;
        case KESTAV_TRANSPORT_REMOTE_DESKTOP:
            *opened = kestav::detail::OpenRemoteDesktop(&status, error);
            return status;
        default:
            *error = "unknown transport " + std::to_string(transport);
            return status;
    }
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
        std::unique_ptr<Transport> way;
        int status = OpenTransport(transport, loopName, timeoutMs, &way, &openError);
        if (status != KESTAV_OK) return status;
        auto opened = std::make_unique<KestavChannel>(std::move(way));
        // The channels are open; is there a module at the other end?
        std::string response;
        status = Exchange(opened.get(), "Hello", timeoutMs, &response);
        if (status == KESTAV_TIMEOUT || (status == KESTAV_OK && response != kHelloResponse)) {
            openError = std::string("the ") + opened->conversation.transport().Name() +
                        " channels are open, but nothing answered \"Hello\" within " +
                        std::to_string(timeoutMs) +
                        " ms: the client has no Kestav module, or the client does not load it";
            return KESTAV_MODULE_ABSENT;
        }
        if (status != KESTAV_OK) {
            openError = opened->lastError;
            return status;
        }
        *channel = opened.release();
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
        const int status = Exchange(channel, command, timeoutMs, &channel->lastResponse);
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
    return channel != nullptr ? channel->conversation.transport().Name() : "";
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
