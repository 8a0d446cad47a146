// The module's driver functions behind the engine's procedure table, and the
// write hook and send path of the data channel.
#pragma once

#include <cstdint>
#include <string>

#include "ica/EngineRecords.h"

namespace ica {

extern bool g_bIsHPC;

// The engine this module is built for (ica/EngineOfThisOs.cpp in what ships).
const EngineAbi& ModuleEngine();

// Linux engine: the instrument thread wakes the engine's thread through the
// client's event loop when a response is ready, and the response leaves from
// there; without the client's event functions it leaves at the next poll.
void StartEngineWake();
void StopEngineWake();

extern const std::string CommandChannelName;  // "KstCmd1"
extern const std::string DataChannelName;     // "KstDta1"

EngineStatus VdCallWd(DriverRecord* driver, std::uint16_t entry, InformationRequest* request,
                      std::uint16_t* size);

EngineStatus DriverOpen(DriverRecord* driver, OpenRecord* open, std::uint16_t* size);
EngineStatus DriverClose(DriverRecord* driver, void* parameter, std::uint16_t* size);
EngineStatus DriverInfo(DriverRecord* driver, InfoRequest* request, std::uint16_t* size);
EngineStatus DriverQueryInformation(DriverRecord* driver, void* parameter, std::uint16_t* size);
EngineStatus DriverSetInformation(DriverRecord* driver, void* parameter, std::uint16_t* size);
EngineStatus DriverGetLastError(DriverRecord* driver, void* lastErrorRecord);

// The write hook registered on both channels: one write is one command text.
EngineStatus KST_CDECL ICADataArrival(void* driverRecord, std::uint16_t channel,
                                      std::uint8_t* bytes, std::uint16_t length);
// Hands the pending response to the engine: 0 sent, 21 nothing to send, 30
// retry later (the engine had no output buffer), or the engine's own status.
EngineStatus SendData();
EngineStatus DriverPoll(DriverRecord* driver, void* parameter, std::uint16_t* size);

// "0x1a2b3c" form of a pointer in log lines.
std::string Hex(const void* pointer);

// Runs an engine-facing body; any exception that would cross into the engine
// is stopped here and reported as a general failure.
template <typename Body>
EngineStatus Guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return kStatusGeneralError;
    }
}

}  // namespace ica
