// The records and procedure forms that cross the boundary to the Citrix ICA
// client engine and its WinStation driver (WD). Every record is declared from
// typed fields in natural alignment, so the 64-bit layout follows from a
// recompile; the asserts pin the 32-bit and 64-bit offsets the engine uses.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/CallingConvention.h"

namespace ica {

using EngineStatus = std::int32_t;

// Engine statuses the module returns or acts on.
constexpr EngineStatus kStatusSuccess = 0;
constexpr EngineStatus kStatusNoData = 21;            // poll: nothing to send
constexpr EngineStatus kStatusRetry = 30;             // poll: try again later
constexpr EngineStatus kStatusGeneralError = 1000;    // failure inside the module
constexpr EngineStatus kStatusBufferTooSmall = 1004;
constexpr EngineStatus kStatusNoProcedureTable = 1011;
constexpr EngineStatus kStatusNoOutputBuffer = 1016;  // send: no output buffer free

struct LinkRecord;
struct DriverRecord;
struct InformationRequest;
struct MemorySection;

// The eight procedures of the module's table and the WD's query/set
// information entries share one form.
using Procedure = EngineStatus(KST_CDECL*)(void* data, void* parameter, std::uint16_t* size);
using WriteHook = EngineStatus(KST_CDECL*)(void* driverRecord, std::uint16_t channel,
                                           std::uint8_t* bytes, std::uint16_t length);
using QueueVirtualWriteProc = EngineStatus(KST_CDECL*)(void* wdData, std::uint16_t channel,
                                                       MemorySection* sections,
                                                       std::uint16_t count, std::uint16_t flags);
using HpcSendProc = EngineStatus(KST_CDECL*)(void* wdData, std::uint16_t channel,
                                             std::uint8_t* bytes, std::uint16_t length,
                                             void* userData, std::uint32_t flags);
// Entry 2 of the engine's library manager table: link one engine library.
using UseLibraryProc = EngineStatus(KST_CDECL*)(const char* name, void* reserved, void** table);

// The engine's (and the WD's) link record.
struct LinkRecord {
    std::uint16_t segment;
    std::uint16_t size;
    std::uint16_t procedureCount;
    Procedure* procedures;
    void* data;  // first argument of every procedure
    void* memory;
    char moduleName[13];
    void** libraryManager;
};

// The module's data pointer, handed to the engine by Load.
struct DriverRecord {
    std::uint32_t channelMask;
    LinkRecord* wdLink;
    std::int32_t lastError;
    void* privateData;
};

struct OpenRecord {
    void* reserved;
    LinkRecord* wdLink;
    std::uint32_t channelMask;
    void* reserved2[3];
};

struct InformationRequest {
    std::uint32_t informationClass;
    void* parameter;
    std::uint16_t length;
    std::uint16_t returnedLength;
};

struct MemorySection {
    std::uint32_t length;
    std::uint8_t* bytes;
};

// Parameter of the query-information procedure.
struct QueryRecord {
    std::uint32_t informationClass;
    void* buffer;
    std::uint32_t length;
    std::uint32_t returnedLength;
};

// Parameter of the info procedure.
struct InfoRequest {
    std::uint8_t* buffer;
    std::uint16_t byteCount;
};

// WD information classes. The first two have the same numbers in the
// Windows and the Linux engine; the Linux engine has neither of the other
// two (its enumeration lacks the Windows-only members, so 86 is another
// class there).
constexpr std::uint32_t kClassOpenChannel = 33;      // query
constexpr std::uint32_t kClassWriteHook = 10;        // set
constexpr std::uint32_t kClassVersionCheck = 86;     // query, Windows only
constexpr std::uint32_t kClassHpcProperties = 92;    // set, Windows only
constexpr std::uint16_t kWdQueryInformation = 6;
constexpr std::uint16_t kWdSetInformation = 7;

struct OpenChannelRecord {
    const char* name;
    std::uint16_t channel;
};

struct WriteHookRecord {
    std::uint16_t channel;
    void* moduleData;
    WriteHook callback;
    void* wdData;
    void* unused[4];
    std::uint16_t maximumWriteSize;
    QueueVirtualWriteProc queueVirtualWrite;
};

struct VersionCheckRecord {
    std::uint16_t version;
    HpcSendProc hpcSend;
    std::uint16_t unused1;
    void* unused2;
    void* unused3;
};

struct HpcPropertiesRecord {
    void* wdData;
    std::uint32_t options;
    std::uint16_t version;
};

// The steps in which the Windows and the Linux engine differ; the records
// above are the same in both (on x86-64 Linux, LP64 with a 32-bit ULONG, they
// come out as Win64's).
struct EngineAbi {
    const char* name;             // said in the log at open; none for the Windows engine, whose
                                  // open transcript predates the Linux one and stays as it was
    bool linksEngineLibraries;    // the library manager's UseLibrary calls at open
    bool checksWdVersion;         // WD query 86 (version, HPC send), set 92 (HPC properties)
    bool driverSetsChannelMask;   // the module writes its channels' mask into the open record
    bool lastErrorIsQueryClass0;  // VdLastError is query class 0 (the Linux numbering has none)
    bool offersEvents;            // the client's event loop can wake the module (Evt_*)
};
constexpr EngineAbi kWindowsEngine{nullptr, true, true, false, true, false};
constexpr EngineAbi kLinuxEngine{"Linux", false, false, true, false, true};

// The module information record DriverInfo writes: packed bytes.
constexpr std::size_t kModuleInfoLength = 48;
constexpr std::size_t kModuleInfoNameOffset = 6;
constexpr std::size_t kModuleInfoNameLength = 13;
constexpr std::size_t kModuleInfoHostModuleNameOffset = 19;
constexpr std::size_t kLastErrorRecordLength = 292;

#define KST_LAYOUT(record, field, offset32, offset64)                                    \
    static_assert(offsetof(record, field) == (sizeof(void*) == 4 ? (offset32) : (offset64)), \
                  #record "::" #field)
#define KST_SIZE(record, size32, size64) \
    static_assert(sizeof(record) == (sizeof(void*) == 4 ? (size32) : (size64)), #record)

KST_LAYOUT(LinkRecord, procedureCount, 4, 4);
KST_LAYOUT(LinkRecord, procedures, 8, 8);
KST_LAYOUT(LinkRecord, data, 12, 16);
KST_LAYOUT(LinkRecord, libraryManager, 36, 48);
KST_LAYOUT(DriverRecord, wdLink, 4, 8);
KST_LAYOUT(DriverRecord, lastError, 8, 16);
KST_LAYOUT(DriverRecord, privateData, 12, 24);
KST_SIZE(DriverRecord, 16, 32);
KST_LAYOUT(OpenRecord, wdLink, 4, 8);
KST_LAYOUT(OpenRecord, channelMask, 8, 16);
KST_SIZE(OpenRecord, 24, 48);
KST_LAYOUT(InformationRequest, parameter, 4, 8);
KST_LAYOUT(InformationRequest, length, 8, 16);
KST_LAYOUT(InformationRequest, returnedLength, 10, 18);
KST_SIZE(InformationRequest, 12, 24);
KST_LAYOUT(MemorySection, bytes, 4, 8);
KST_SIZE(MemorySection, 8, 16);
KST_LAYOUT(QueryRecord, buffer, 4, 8);
KST_LAYOUT(QueryRecord, length, 8, 16);
KST_LAYOUT(QueryRecord, returnedLength, 12, 20);
KST_LAYOUT(InfoRequest, byteCount, 4, 8);
KST_SIZE(InfoRequest, 8, 16);
KST_LAYOUT(OpenChannelRecord, channel, 4, 8);
KST_SIZE(OpenChannelRecord, 8, 16);
KST_LAYOUT(WriteHookRecord, moduleData, 4, 8);
KST_LAYOUT(WriteHookRecord, callback, 8, 16);
KST_LAYOUT(WriteHookRecord, wdData, 12, 24);
KST_LAYOUT(WriteHookRecord, maximumWriteSize, 32, 64);
KST_LAYOUT(WriteHookRecord, queueVirtualWrite, 36, 72);
KST_SIZE(WriteHookRecord, 40, 80);
KST_LAYOUT(VersionCheckRecord, hpcSend, 4, 8);
KST_SIZE(VersionCheckRecord, 20, 40);
KST_LAYOUT(HpcPropertiesRecord, options, 4, 8);
KST_LAYOUT(HpcPropertiesRecord, version, 8, 12);
KST_SIZE(HpcPropertiesRecord, 12, 16);

#undef KST_LAYOUT
#undef KST_SIZE

}  // namespace ica
