// The static virtual channel API as a client hands it to a plug-in
// (cchannel.h's CHANNEL_ENTRY_POINTS and CHANNEL_ENTRY_POINTS_EX, their
// procedures and events): the same records on Windows (mstsc, the Windows
// App, Horizon's client), in FreeRDP (which adds fields after them) and in
// Horizon's Linux VC bridge. Defined here, not taken from a client's
// headers, so that one source serves every client; every integer is 32 bits
// wide on every system, the procedures are __stdcall on 32-bit Windows.
#pragma once

#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define KST_VCAPI __stdcall
#else
#define KST_VCAPI
#endif

namespace svc {
namespace api {

constexpr std::uint32_t kChannelNameLength = 7;  // and its NUL
constexpr std::uint32_t kVersionWin2000 = 1;     // VIRTUAL_CHANNEL_VERSION_WIN2000

// CHANNEL_OPTION_*
constexpr std::uint32_t kOptionEncryptRdp = 0x40000000;
constexpr std::uint32_t kOptionCompressRdp = 0x00800000;

// CHANNEL_EVENT_*: the init procedure's ...
constexpr std::uint32_t kEventInitialized = 0;
constexpr std::uint32_t kEventConnected = 1;
constexpr std::uint32_t kEventV1Connected = 2;
constexpr std::uint32_t kEventDisconnected = 3;
constexpr std::uint32_t kEventTerminated = 4;
// ... and the open procedure's.
constexpr std::uint32_t kEventDataReceived = 10;
constexpr std::uint32_t kEventWriteComplete = 11;
constexpr std::uint32_t kEventWriteCancelled = 12;

// CHANNEL_FLAG_*: a data event's flags. SUSPEND and RESUME events carry no message's bytes.
constexpr std::uint32_t kFlagFirst = 0x01;
constexpr std::uint32_t kFlagLast = 0x02;
constexpr std::uint32_t kFlagSuspend = 0x20;
constexpr std::uint32_t kFlagResume = 0x40;

constexpr std::uint32_t kOk = 0;  // CHANNEL_RC_OK

struct ChannelDef {  // CHANNEL_DEF
    char name[kChannelNameLength + 1];
    std::uint32_t options;
};

using InitEvent = void(KST_VCAPI*)(void* initHandle, std::uint32_t event, void* data, std::uint32_t length);
using InitEventEx = void(KST_VCAPI*)(void* userParam, void* initHandle, std::uint32_t event, void* data,
                                     std::uint32_t length);
using OpenEvent = void(KST_VCAPI*)(std::uint32_t openHandle, std::uint32_t event, void* data,
                                   std::uint32_t length, std::uint32_t total, std::uint32_t flags);
using OpenEventEx = void(KST_VCAPI*)(void* userParam, std::uint32_t openHandle, std::uint32_t event, void* data,
                                     std::uint32_t length, std::uint32_t total, std::uint32_t flags);

using Init = std::uint32_t(KST_VCAPI*)(void** initHandle, ChannelDef* channels, int count, std::uint32_t version,
                                       InitEvent procedure);
using Open = std::uint32_t(KST_VCAPI*)(void* initHandle, std::uint32_t* openHandle, char* name,
                                       OpenEvent procedure);
using Close = std::uint32_t(KST_VCAPI*)(std::uint32_t openHandle);
using Write = std::uint32_t(KST_VCAPI*)(std::uint32_t openHandle, void* data, std::uint32_t length,
                                        void* userData);

using InitEx = std::uint32_t(KST_VCAPI*)(void* userParam, void* clientContext, void* initHandle,
                                         ChannelDef* channels, int count, std::uint32_t version,
                                         InitEventEx procedure);
using OpenEx = std::uint32_t(KST_VCAPI*)(void* initHandle, std::uint32_t* openHandle, char* name,
                                         OpenEventEx procedure);
using CloseEx = std::uint32_t(KST_VCAPI*)(void* initHandle, std::uint32_t openHandle);
using WriteEx = std::uint32_t(KST_VCAPI*)(void* initHandle, std::uint32_t openHandle, void* data,
                                          std::uint32_t length, void* userData);

struct EntryPoints {  // CHANNEL_ENTRY_POINTS
    std::uint32_t size;
    std::uint32_t protocolVersion;
    Init init;
    Open open;
    Close close;
    Write write;
};

struct EntryPointsEx {  // CHANNEL_ENTRY_POINTS_EX
    std::uint32_t size;
    std::uint32_t protocolVersion;
    InitEx init;
    OpenEx open;
    CloseEx close;
    WriteEx write;
};

static_assert(sizeof(ChannelDef) == 12, "CHANNEL_DEF is 8 name bytes and 32-bit options");
static_assert(sizeof(EntryPoints) == 8 + 4 * sizeof(void*), "CHANNEL_ENTRY_POINTS: two DWORDs, four procedures");
static_assert(sizeof(EntryPointsEx) == 8 + 4 * sizeof(void*), "CHANNEL_ENTRY_POINTS_EX likewise");

}  // namespace api
}  // namespace svc
