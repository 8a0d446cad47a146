/*
 * KestavChannel: the server side's way to the Kestav client driver. A
 * server-side application opens it once, then calls commands ("Init|sim|",
 * "Measure", "GetSpectralDataAll|0|") and gets each one's response ("OK",
 * "OK|0.4716;...", "ERROR|...").
 *
 * It takes care of what every such application otherwise writes again:
 * both channels opened, one command written and one answer awaited with a
 * time limit, one command in flight at a time (a second caller waits), a
 * late answer never taken as a later command's (after a time-out the next
 * call first makes sure the channel is clean), reads into buffers that hold
 * any packet, "|" escaped as "&vert;", and errors that say what is wrong:
 * no session, the channel blocked by the server's allow list, no module on
 * the client.
 *
 * A channel outlives a disconnect: while no client is connected, calls
 * fail at once with KESTAV_DISCONNECTED; once the user has reconnected, the
 * next call opens the channels again by itself and answers
 * KESTAV_CLIENT_CHANGED without running the command, since the instrument
 * the program set up is gone with the old client.
 *
 * Transports: Citrix (WFAPI: wfapi.dll or wfapi64.dll, loaded by full path
 * from the system folder only), Remote Desktop (a dynamic virtual channel),
 * and the local loop (kestav-host --listen on this PC: no Citrix part at all).
 * KESTAV_TRANSPORT_AUTO picks by the session the program runs in.
 *
 * A C ABI (stdcall on 32-bit Windows, plain names), so that .NET, Python or
 * Delphi code can call it; texts are NUL-terminated 8-bit ANSI. The C++
 * class kestav::Channel at the end wraps it.
 */
#ifndef KESTAV_CHANNEL_H
#define KESTAV_CHANNEL_H

#if defined(_WIN32) && !defined(_WIN64)
#define KESTAV_CALL __stdcall
#else
#define KESTAV_CALL
#endif
#ifndef KESTAV_API
#if defined(_WIN32)
#define KESTAV_API __declspec(dllimport)
#else
#define KESTAV_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KestavChannel KestavChannel;

enum KestavTransport {
    KESTAV_TRANSPORT_AUTO = 0,           /* by the session: ICA, RDP, or this PC's console */
    KESTAV_TRANSPORT_CITRIX = 1,         /* WFAPI */
    KESTAV_TRANSPORT_LOCAL_LOOP = 2,     /* kestav-host --listen on this PC */
    KESTAV_TRANSPORT_REMOTE_DESKTOP = 3, /* Remote Desktop dynamic virtual channels */
    KESTAV_TRANSPORT_REMOTE_DESKTOP_STATIC = 4 /* Remote Desktop static virtual channels (Horizon's
                                                   VC bridge, RDS, xrdp.ini's [Channels]); AUTO takes
                                                   them where the dynamic ones cannot be opened */
};

enum KestavStatus {
    KESTAV_OK = 0,
    KESTAV_TIMEOUT = 1,           /* no answer within the time limit (or the instrument is
                                     still busy with an earlier command) */
    KESTAV_NO_SESSION = 2,        /* the program does not run in a session of that transport */
    KESTAV_CHANNEL_BLOCKED = 3,   /* the session has no such channel: on Citrix, the VDA's
                                     Virtual channel allow list must name KstCmd1 and KstDta1 */
    KESTAV_MODULE_ABSENT = 4,     /* the channels opened, but nothing answered "Hello": the
                                     client has no Kestav module (or it is not registered) */
    KESTAV_NO_TRANSPORT = 5,      /* WFAPI not installed, no local loop, ... */
    KESTAV_LOOP_BUSY = 6,         /* another program holds the local loop */
    KESTAV_DISCONNECTED = 7,      /* the session or the loop has ended */
    KESTAV_BUFFER_TOO_SMALL = 8,  /* the response did not fit: see KestavLastResponse */
    KESTAV_INVALID_ARGUMENT = 9,
    KESTAV_WRITE_REFUSED = 10,    /* the command is longer than the transport takes */
    KESTAV_RESPONSE_TOO_LONG = 11, /* the client sent a response longer than any the module sends
                                      (more than KESTAV_LONGEST_RESPONSE); the next call first
                                      cleans the channel */
    KESTAV_CLIENT_CHANGED = 12,    /* the client was reconnected (a new client process, perhaps
                                      another PC): the command was not run; set the instrument up
                                      again (Init, Connect, calibration), then call again */
    KESTAV_IN_USE = 13             /* another program in this session (or another channel of this
                                      one) holds the Citrix or Remote Desktop channels: one program
                                      per session drives the client's instrument */
};

/* The longest response any transport carries, NUL not included. */
#define KESTAV_LONGEST_RESPONSE (1024u * 1024u)

/* Opens both channels and checks that the module answers (within timeoutMs).
   loopName: the local loop's name, or NULL for KESTAV_LOOP or "default". */
KESTAV_API int KESTAV_CALL KestavOpen(int transport, const char* loopName, unsigned timeoutMs,
                                      KestavChannel** channel);
KESTAV_API void KESTAV_CALL KestavClose(KestavChannel* channel);

/* One command, its response into `response` (NUL-terminated; *length
   without the NUL). KESTAV_BUFFER_TOO_SMALL sets *length to what is needed. */
KESTAV_API int KESTAV_CALL KestavCall(KestavChannel* channel, const char* command, unsigned timeoutMs,
                                      char* response, unsigned size, unsigned* length);
/* The last response again (after KESTAV_BUFFER_TOO_SMALL). */
KESTAV_API int KESTAV_CALL KestavLastResponse(KestavChannel* channel, char* response, unsigned size,
                                              unsigned* length);
/* Whether the last KestavCall's command was written to the client (1) or
   not (0). A call that failed after writing it (the client went, no answer
   in time) may have run it: calling again runs it again. */
KESTAV_API int KESTAV_CALL KestavLastCallSent(KestavChannel* channel);
/* The module's version on the client ("1.6.0"). */
KESTAV_API int KESTAV_CALL KestavModuleVersion(KestavChannel* channel, unsigned timeoutMs, char* version,
                                               unsigned size);

/* "Citrix", "Remote Desktop" or "local loop". */
KESTAV_API const char* KESTAV_CALL KestavTransportName(KestavChannel* channel);
/* What went wrong last, in words: of this channel, or (NULL) of the last
   KestavOpen on this thread. */
KESTAV_API const char* KESTAV_CALL KestavLastError(KestavChannel* channel);
KESTAV_API const char* KESTAV_CALL KestavStatusText(int status);
KESTAV_API const char* KESTAV_CALL KestavLibraryVersion(void);

/* "a|b" -> "a&vert;b" and back. Return the length the result needs (NUL not
   included); they write it, NUL-terminated, when `size` is larger. */
KESTAV_API unsigned KESTAV_CALL KestavEscape(const char* text, char* out, unsigned size);
KESTAV_API unsigned KESTAV_CALL KestavUnescape(const char* text, char* out, unsigned size);

#ifdef __cplusplus
}  /* extern "C" */

#include <stdexcept>
#include <string>
#include <vector>

namespace kestav {

class Error : public std::runtime_error {
public:
    Error(int status, const std::string& what) : std::runtime_error(what), status_(status) {}
    int Status() const { return status_; }

private:
    int status_;
};

// kestav::Channel channel;                 // KESTAV_TRANSPORT_AUTO, 5 s to open
// channel.Call("Init|sim|", 5000);         // "OK"
// channel.Call("GetSpectralDataAll|0|", 5000);
// Failures throw kestav::Error (Status() is a KestavStatus).
class Channel {
public:
    explicit Channel(int transport = KESTAV_TRANSPORT_AUTO, unsigned timeoutMs = 5000,
                     const char* loopName = nullptr) {
        const int status = KestavOpen(transport, loopName, timeoutMs, &channel_);
        if (status != KESTAV_OK) throw Error(status, KestavLastError(nullptr));
    }
    ~Channel() { KestavClose(channel_); }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    std::string Call(const std::string& command, unsigned timeoutMs) {
        std::vector<char> response(4096);
        unsigned length = 0;
        int status = KestavCall(channel_, command.c_str(), timeoutMs, response.data(),
                                unsigned(response.size()), &length);
        if (status == KESTAV_BUFFER_TOO_SMALL) {
            response.resize(length + 1);
            status = KestavLastResponse(channel_, response.data(), unsigned(response.size()), &length);
        }
        if (status != KESTAV_OK) throw Error(status, KestavLastError(channel_));
        return std::string(response.data(), length);
    }
    std::string Version(unsigned timeoutMs = 5000) {
        char version[64];
        const int status = KestavModuleVersion(channel_, timeoutMs, version, sizeof version);
        if (status != KESTAV_OK) throw Error(status, KestavLastError(channel_));
        return version;
    }
    const char* TransportName() const { return KestavTransportName(channel_); }
    // After a failed Call: whether its command reached the client (and may have run).
    bool LastCallSent() const { return KestavLastCallSent(channel_) != 0; }

    static std::string Escape(const std::string& text) { return Convert(&KestavEscape, text); }
    static std::string Unescape(const std::string& text) { return Convert(&KestavUnescape, text); }

private:
    static std::string Convert(unsigned(KESTAV_CALL* convert)(const char*, char*, unsigned),
                               const std::string& text) {
        std::vector<char> out(convert(text.c_str(), nullptr, 0) + 1);
        convert(text.c_str(), out.data(), unsigned(out.size()));
        return std::string(out.data());
    }
    KestavChannel* channel_ = nullptr;
};

}  // namespace kestav
#endif /* __cplusplus */

#endif /* KESTAV_CHANNEL_H */
