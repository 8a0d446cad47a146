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
    KestavChannel(int kind, std::string loop, std::unique_ptr<kestav::detail::Conversation> opened,
                  platform::SessionClaim* held)
        : transport(kind), loopName(std::move(loop)), conversation(std::move(opened)), claim(held) {}
    // The channels close before the session's claim goes.
    ~KestavChannel() {
        conversation.reset();
        platform::ReleaseClaim(claim);
    }
    int transport;         // the one chosen at the open, KESTAV_TRANSPORT_AUTO resolved
    std::string loopName;  // of the local loop
    std::unique_ptr<kestav::detail::Conversation> conversation;
    platform::SessionClaim* claim;  // the session's channels, this program's (null: the loop's own rule)
    // The client went (a call found the session or the loop ended): the next
    // call opens the channels again, or says the client is still away.
    bool away = false;
    // The name of the module's load at the other end ("" where it tells none).
    std::string instance;
    bool sent = false;  // the last call's command was written: it may have run
    std::mutex callLock;  // one command in flight
    std::string lastResponse;
    std::string lastError;
};

namespace {

thread_local std::string openError;

const char* const kHelloResponse = "OK|Hello";

const char* const kSessionClaim = "KestavChannels";
const char* const kInUse =
    "another program in this session holds the Kestav channels (or another channel of this program does): "
    "one program per session drives the client's instrument; its KestavClose, or its end, lets them go";

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

// What KESTAV_TRANSPORT_AUTO took, and why, ahead of the words of a failed open.
std::string AutoChose(int kind) {
    const int protocol = platform::SessionProtocol();
    const char* where = protocol == 1   ? "this program runs in an ICA session"
                        : protocol == 2 ? "this program runs in a Remote Desktop session"
                                        : "this program runs in no ICA or Remote Desktop session";
    const char* what = kind == KESTAV_TRANSPORT_CITRIX           ? "the Citrix transport (WFAPI)"
                       : kind == KESTAV_TRANSPORT_LOCAL_LOOP     ? "the local loop"
                       : kind == KESTAV_TRANSPORT_REMOTE_DESKTOP ? "the Remote Desktop dynamic channels"
                                                                 : "the Remote Desktop static channels";
    return std::string("KESTAV_TRANSPORT_AUTO took ") + what + " (" + where + "): ";
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
        case KESTAV_TRANSPORT_REMOTE_DESKTOP_STATIC:
            *opened = kestav::detail::OpenRemoteDesktop(transport == KESTAV_TRANSPORT_REMOTE_DESKTOP, &status, error);
            return status;
        default:
            *error = "unknown transport " + std::to_string(transport);
            return status;
    }
}

const char* const kInstanceQuery = "KestavClientDriverInstance";

// A channel that opens again after its client went does not wait for a
// listener of the local loop to come up: the client is away until it is there.
constexpr unsigned kReopenWaitMs = 500;

// The module at the other end, the name of its load ("" for a module that
// does not tell it), asked within timeoutMs; false when there is no answer.
bool AskInstance(kestav::detail::Conversation& conversation, unsigned timeoutMs, std::string* instance) {
    std::string response, ignored;
    if (conversation.Exchange(kInstanceQuery, timeoutMs, &response, &ignored) != KESTAV_OK) return false;
    *instance = response.compare(0, 3, "OK|") == 0 ? response.substr(3) : std::string();
    return true;
}

struct Module {
    std::unique_ptr<kestav::detail::Conversation> conversation;
    std::string instance;
};

// The channels opened and a module answering within timeoutMs: KESTAV_OK
// with *module; otherwise the status and *error. `hello`: "Hello" is asked
// first (an open); else the name of its load is (answered at once, even by
// a module busy with a command), and "Hello" only where it has none to tell.
int OpenModule(int transport, const std::string& loopName, unsigned timeoutMs, unsigned openMs, bool hello,
               Module* module, std::string* error) {
    const kestav::detail::Deadline deadline(timeoutMs);
    std::unique_ptr<Transport> way;
    int status = OpenTransport(transport, loopName, openMs, &way, error);
    if (status != KESTAV_OK) return status;
    const std::string name = way->Name();
    auto opened = std::make_unique<kestav::detail::Conversation>(std::move(way));
    std::string instance;
    const bool told = !hello && AskInstance(*opened, deadline.LeftMs(), &instance) && !instance.empty();
    if (!told) {
        std::string response;
        status = opened->Exchange("Hello", deadline.LeftMs(), &response, error);
        if (status == KESTAV_TIMEOUT || (status == KESTAV_OK && response != kHelloResponse)) {
            *error = "the " + name + " channels are open, but nothing answered \"Hello\" within " +
                     std::to_string(timeoutMs) + " ms: " +
                     (transport == KESTAV_TRANSPORT_REMOTE_DESKTOP_STATIC
                          ? std::string(kestav::detail::kStaticCauses)
                          : "the client has no Kestav module, or the client does not load it");
            return KESTAV_MODULE_ABSENT;
        }
        if (status != KESTAV_OK) return status;
        if (hello) (void)AskInstance(*opened, deadline.LeftMs(), &instance);
    }
    module->conversation = std::move(opened);
    module->instance = instance;
    return KESTAV_OK;
}

const std::string kAway = "the client is away (the user disconnected, or the client ended); "
                          "calls work again once the user has reconnected";

// The channels opened again (after the client went, or when they no longer
// answer at all): KESTAV_OK with *changed when a module answers, the
// channel then using the new ones; KESTAV_DISCONNECTED with words when no
// client is there. A module whose load has another name than the one the
// channel had, or one that does not tell it, is another client.
int Reopen(KestavChannel* channel, unsigned timeoutMs, bool* changed) {
    if (!platform::SessionHasClient())
        return SetError(channel, KESTAV_DISCONNECTED, kAway + ": this session has no client connected now");
    Module module;
    std::string error;
    const int status = OpenModule(channel->transport, channel->loopName, timeoutMs, std::min(timeoutMs, kReopenWaitMs),
                                  false, &module, &error);
    if (status != KESTAV_OK) return SetError(channel, KESTAV_DISCONNECTED, kAway + ": " + error);
    *changed = module.instance.empty() || module.instance != channel->instance;
    channel->conversation = std::move(module.conversation);
    channel->instance = module.instance;
    channel->away = false;
    // The same module may still work on a command sent on the old
    // channels: its answer is never taken for a later command's.
    if (!*changed) channel->conversation->MarkUnsure();
    return KESTAV_OK;
}

const std::string kMayHaveRun = "; the command was sent before and may have run: its answer is lost";

int ClientChanged(KestavChannel* channel) {
    return SetError(channel, KESTAV_CLIENT_CHANGED,
                    "the client was reconnected: set the instrument up again (Init, Connect, calibration as "
                    "needed), then call again; " +
                        std::string(channel->sent ? "the command was sent to the client that went and may have "
                                                    "run there"
                                                  : "the command was not run"));
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
        int kind = ChosenTransport(transport);
        const std::string loop = loopName != nullptr ? loopName : loop::NameFromEnvironment();
        // The client's module serves one program per session: a second
        // one's answers would go to either.
        struct Claimed {
            platform::SessionClaim* held = nullptr;
            ~Claimed() { platform::ReleaseClaim(held); }
        } claim;
        if (kind != KESTAV_TRANSPORT_LOCAL_LOOP) {
            platform::Claim claimed = platform::Claim::Unavailable;
            claim.held = platform::ClaimInSession(kSessionClaim, &claimed);
            if (claimed == platform::Claim::Taken) {
                openError = kInUse;
                return KESTAV_IN_USE;
            }
        }
        Module module;
        const kestav::detail::Deadline deadline(timeoutMs);
        int status = OpenModule(kind, loop, timeoutMs, timeoutMs, true, &module, &openError);
        if (status == KESTAV_CHANNEL_BLOCKED && transport == KESTAV_TRANSPORT_AUTO &&
            kind == KESTAV_TRANSPORT_REMOTE_DESKTOP) {
            // No dynamic channel: a client with the static plug-in (Horizon's) may be there.
            const std::string dynamicError = openError;
            kind = KESTAV_TRANSPORT_REMOTE_DESKTOP_STATIC;
            status = OpenModule(kind, loop, deadline.LeftMs(), deadline.LeftMs(), true, &module, &openError);
            if (status == KESTAV_CHANNEL_BLOCKED) openError = dynamicError + "; and " + openError;
            else if (status != KESTAV_OK) openError = dynamicError + "; the static channels: " + openError;
        }
        if (status != KESTAV_OK) {
            if (transport == KESTAV_TRANSPORT_AUTO) openError = AutoChose(kind) + openError;
            return status;
        }
        *channel = new KestavChannel(kind, loop, std::move(module.conversation), claim.held);
        claim.held = nullptr;
        (*channel)->instance = module.instance;
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
        const kestav::detail::Deadline deadline(timeoutMs);
        bool changed = false;
        channel->sent = false;
        const bool reopening = channel->away;
        if (reopening) {
            const int reopened = Reopen(channel, timeoutMs, &changed);
            if (reopened != KESTAV_OK) return reopened;
            if (changed) return ClientChanged(channel);
        }
        const bool wasUnsure = channel->conversation->Unsure();
        // After a time-out, a part of the limit is kept for fresh channels,
        // should the clean-up go unanswered: the call ends within its limit.
        const unsigned allowed = reopening ? deadline.LeftMs() : timeoutMs;
        const unsigned kept = wasUnsure ? std::min(kReopenWaitMs, allowed / 2) : 0;
        int status = Exchange(channel, command, allowed - kept, &channel->lastResponse);
        channel->sent = channel->conversation->Sent();
        if (status == KESTAV_DISCONNECTED || (status == KESTAV_TIMEOUT && !platform::SessionHasClient())) {
            // The session or the loop ended, or the session lost its client
            // while this call waited: a new client already there is found
            // within what is left of this call; else the next call looks again.
            channel->away = true;
            const int reopened = Reopen(channel, deadline.LeftMs(), &changed);
            if (reopened != KESTAV_OK)
                return channel->sent ? SetError(channel, reopened, channel->lastError + kMayHaveRun) : reopened;
            if (changed) return ClientChanged(channel);
            return SetError(channel, KESTAV_TIMEOUT,
                            "the channels were opened again during the call" +
                                (channel->sent ? kMayHaveRun : std::string(": its answer is lost")) + "; call again");
        }
        if (status == KESTAV_TIMEOUT && wasUnsure && channel->conversation->Unsure()) {
            // Not even the clean-up after an earlier time-out was answered: a
            // channel that reaches no client any more (a new client took the
            // session meanwhile), or a module still busy. Fresh channels tell.
            std::string busy = channel->lastError;
            const std::string shown = " within " + std::to_string(allowed - kept) + " ms";
            const std::string::size_type at = busy.find(shown);
            if (at != std::string::npos) busy.replace(at, shown.size(), " within " + std::to_string(allowed) + " ms");
            const int reopened = Reopen(channel, deadline.LeftMs(), &changed);
            // A client still there that answers no fresh channels either in
            // time (it keeps sending, or the module is busy) is not away.
            if (reopened != KESTAV_OK && platform::SessionHasClient()) {
                channel->conversation->MarkUnsure();
                return SetError(channel, KESTAV_TIMEOUT, busy);
            }
            if (reopened != KESTAV_OK) return reopened;
            if (changed) return ClientChanged(channel);
            channel->conversation->MarkUnsure();  // the busy module's late answer may still come
            return SetError(channel, KESTAV_TIMEOUT, busy);
        }        if (status != KESTAV_OK) return status;
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

KESTAV_API int KESTAV_CALL KestavLastCallSent(KestavChannel* channel) {
    if (channel == nullptr) return 0;
    std::lock_guard<std::mutex> one(channel->callLock);
    return channel->sent ? 1 : 0;
}

KESTAV_API const char* KESTAV_CALL KestavLastError(KestavChannel* channel) {
    return channel != nullptr ? channel->lastError.c_str() : openError.c_str();
}

KESTAV_API const char* KESTAV_CALL KestavStatusText(int status) {
    switch (status) {
        case KESTAV_OK: return "done";
        case KESTAV_TIMEOUT: return "no answer within the time limit";
        case KESTAV_NO_SESSION: return "not in a session of that transport";
        case KESTAV_CHANNEL_BLOCKED:
            return "the channel cannot be opened (the server's virtual channel allow list, or a client "
                   "without the Kestav module)";
        case KESTAV_MODULE_ABSENT: return "no Kestav module answers on the client";
        case KESTAV_NO_TRANSPORT: return "the transport is not available here";
        case KESTAV_LOOP_BUSY: return "another program holds the local loop";
        case KESTAV_DISCONNECTED: return "the session or the loop has ended";
        case KESTAV_BUFFER_TOO_SMALL: return "the response does not fit the buffer";
        case KESTAV_INVALID_ARGUMENT: return "invalid argument";
        case KESTAV_WRITE_REFUSED: return "the command is longer than the transport takes";
        case KESTAV_RESPONSE_TOO_LONG: return "the client sent a response longer than any the module sends";
        case KESTAV_CLIENT_CHANGED: return "the client was reconnected: set the instrument up again";
        case KESTAV_IN_USE: return "another program in this session holds the channels";
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
