// The module's single export and the procedure table it hands to the engine.
#include <cstring>

#include "ica/Driver.h"
#include "relay/VirtualChannelICA.h"
#include "platform/CallingConvention.h"

namespace ica {

namespace {

DriverRecord driverRecord;
void** libraryManager = nullptr;

// The engine libraries the module links when it is opened, in this order.
const char* const kEngineLibraries[] = {
    "CTXMEM",  "CTXMODULE", "CTXCLIB", "CTXMOUSE",      "CTXTMR",  "CTXLOG",
    "CTXMEMINI", "CTXKBD",  "CTXOS",   "CTXWND",        "CTXENG",  "VP.LIB.SUBLST",
    "CTXFILE", "CTXPATH",   "CTXGRAPH", "CTXSCA",       "CTXMMA",
};
constexpr std::size_t kLibraryCount = sizeof kEngineLibraries / sizeof kEngineLibraries[0];
static_assert(kLibraryCount == 17, "seventeen engine libraries");
// The engine writes each library's table here; the module calls none of them.
void* unusedLibraryTable = nullptr;

constexpr std::size_t kUseLibraryEntry = 2;

EngineStatus KST_CDECL UnloadProcedure(void*, void* parameter, std::uint16_t*) {
    return Guarded([&] {
        auto* link = static_cast<LinkRecord*>(parameter);
        if (link != nullptr) {
            link->procedureCount = 0;
            link->procedures = nullptr;
            link->data = nullptr;
        }
        // The last moment the instrument library may be released: later, at
        // library unload, Windows forbids FreeLibrary. Never underneath a
        // command still running on the instrument thread: that thread
        // releases it when the command is done.
        relay::GetVirtualChannel().StopThenRelease(relay::Session::Release::Driver);
        StopEngineWake();
        return kStatusSuccess;
    });
}

EngineStatus KST_CDECL OpenProcedure(void*, void* parameter, std::uint16_t* size) {
    return Guarded([&] {
        if (ModuleEngine().linksEngineLibraries && libraryManager != nullptr &&
            libraryManager[kUseLibraryEntry] != nullptr) {
            const auto useLibrary = reinterpret_cast<UseLibraryProc>(
                reinterpret_cast<std::uintptr_t>(libraryManager[kUseLibraryEntry]));
            for (std::size_t i = 0; i < kLibraryCount; ++i)
                (void)useLibrary(kEngineLibraries[i], nullptr, &unusedLibraryTable);
        }
        auto* open = static_cast<OpenRecord*>(parameter);
        std::memset(&driverRecord, 0, sizeof driverRecord);
        driverRecord.wdLink = open->wdLink;
        const EngineStatus status = DriverOpen(&driverRecord, open, size);
        driverRecord.channelMask = open->channelMask;
        return status;
    });
}

EngineStatus KST_CDECL CloseProcedure(void* data, void* parameter, std::uint16_t* size) {
    return Guarded(
        [&] { return DriverClose(static_cast<DriverRecord*>(data), parameter, size); });
}

EngineStatus KST_CDECL InfoProcedure(void* data, void* parameter, std::uint16_t* size) {
    return Guarded([&] {
        return DriverInfo(static_cast<DriverRecord*>(data), static_cast<InfoRequest*>(parameter),
                          size);
    });
}

EngineStatus KST_CDECL PollProcedure(void* data, void* parameter, std::uint16_t* size) {
    return Guarded([&] { return DriverPoll(static_cast<DriverRecord*>(data), parameter, size); });
}

EngineStatus KST_CDECL QueryInformationProcedure(void* data, void* parameter,
                                                 std::uint16_t* size) {
    return Guarded([&] {
        auto* driver = static_cast<DriverRecord*>(data);
        auto* query = static_cast<QueryRecord*>(parameter);
        if (ModuleEngine().lastErrorIsQueryClass0 && query->informationClass == 0) {
            if (query->length < kLastErrorRecordLength) return kStatusBufferTooSmall;
            const EngineStatus status = DriverGetLastError(driver, query->buffer);
            query->returnedLength = kLastErrorRecordLength;
            return status;
        }
        return DriverQueryInformation(driver, parameter, size);
    });
}

EngineStatus KST_CDECL SetInformationProcedure(void* data, void* parameter, std::uint16_t* size) {
    return Guarded([&] {
        return DriverSetInformation(static_cast<DriverRecord*>(data), parameter, size);
    });
}

EngineStatus KST_CDECL LoadProcedure(void*, void* parameter, std::uint16_t*);

Procedure procedureTable[8] = {
    &LoadProcedure,  &UnloadProcedure, &OpenProcedure,             &CloseProcedure,
    &InfoProcedure,  &PollProcedure,   &QueryInformationProcedure, &SetInformationProcedure,
};

}  // namespace

EngineStatus Load(LinkRecord* link) {
    if (link == nullptr) return kStatusGeneralError;
    link->procedureCount = 8;
    link->procedures = procedureTable;
    link->data = &driverRecord;
    libraryManager = link->libraryManager;
    return kStatusSuccess;
}

namespace {
// Table entry 0: the same Load, in the table's procedure form.
EngineStatus KST_CDECL LoadProcedure(void*, void* parameter, std::uint16_t*) {
    return Load(static_cast<LinkRecord*>(parameter));
}
}  // namespace

}  // namespace ica

extern "C" KST_EXPORT ica::EngineStatus KST_CDECL Load(ica::LinkRecord* link) {
    return ica::Load(link);
}
