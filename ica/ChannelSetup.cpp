// Opening the command and data channels with the WinStation driver, and the
// driver functions that answer the engine's other procedures.
#include <cstdio>
#include <cstring>

#include "diag/LogFile.h"
#include "diag/Settings.h"
#include "ica/Driver.h"
#include "relay/VirtualChannelICA.h"

namespace ica {

const std::string CommandChannelName = names::kCommandChannel;
const std::string DataChannelName = names::kDataChannel;

namespace {

// What the engine's u16 size reads once the first channel is tried.
constexpr std::uint16_t kOpenSize = sizeof(OpenRecord);
constexpr std::uint16_t kRequestSize = sizeof(InformationRequest);
// HPC_VD_OPTIONS_NO_POLLING: the engine need not call DriverPoll, since
// every response leaves inside the write hook. With the instrument thread a
// response is ready later and leaves at a poll, so polling stays on.
constexpr std::uint32_t kHpcNoPolling = 1;
constexpr std::uint16_t kHpcVersion = 1;

EngineStatus CallWd(DriverRecord* driver, std::uint16_t entry, std::uint32_t informationClass,
                    void* record, std::uint16_t length) {
    InformationRequest request{};
    request.informationClass = informationClass;
    request.parameter = record;
    request.length = length;
    std::uint16_t size = kRequestSize;
    return VdCallWd(driver, entry, &request, &size);
}

EngineStatus OpenChannel(const std::string& name, DriverRecord* driver, std::uint16_t* size,
                         std::uint16_t* channel) {
    diag::LogLine("ICA: Open channel \"", name, "\"");
    if (size != nullptr) *size = kOpenSize;

    OpenChannelRecord record{};
    record.name = name.c_str();
    const EngineStatus status =
        CallWd(driver, kWdQueryInformation, kClassOpenChannel, &record, sizeof record);
    if (status != kStatusSuccess) {
        diag::LogDetail("Could not open channel \"", name, "\", Result: ", status);
        return status;
    }
    *channel = record.channel;
    driver->privateData = nullptr;
    return kStatusSuccess;
}

EngineStatus RegisterWriteHook(DriverRecord* driver, std::uint16_t channel,
                               WriteHookRecord* hook, InformationRequest* request) {
    hook->channel = channel;
    hook->moduleData = driver;
    hook->callback = &ICADataArrival;
    request->informationClass = kClassWriteHook;
    request->parameter = hook;
    request->length = sizeof *hook;
    diag::LogDetail("Registering write hook for channel number=", channel,
                    " vdwh.pVdData=", Hex(hook->moduleData));

    std::uint16_t size = kRequestSize;
    const EngineStatus status = VdCallWd(driver, kWdSetInformation, request, &size);
    if (status != kStatusSuccess) {
        diag::LogDetail("Could not register write hook for channel number=", channel,
                        " result=", status);
        return status;
    }
    return kStatusSuccess;
}

EngineStatus OpenCommandChannel(DriverRecord* driver, std::uint16_t* size, std::uint16_t& channel) {
    diag::LogLine("ICA: Open command channel");
    EngineStatus status = OpenChannel(CommandChannelName, driver, size, &channel);
    if (status != kStatusSuccess) return status;
    WriteHookRecord hook{};
    InformationRequest request{};
    status = RegisterWriteHook(driver, channel, &hook, &request);
    if (status != kStatusSuccess) return status;
    diag::LogDetail("Command Channel successfully registered");
    return kStatusSuccess;
}

EngineStatus OpenDataChannel(DriverRecord* driver, std::uint16_t* size, std::uint16_t& channel) {
    diag::LogLine("ICA: Open data channel");
    EngineStatus status = OpenChannel(DataChannelName, driver, size, &channel);
    if (status != kStatusSuccess) return status;
    WriteHookRecord hook{};
    InformationRequest request{};
    status = RegisterWriteHook(driver, channel, &hook, &request);
    if (status != kStatusSuccess) return status;
    void* const wdData = hook.wdData;
    const QueueVirtualWriteProc queueVirtualWrite = hook.queueVirtualWrite;
    const std::uint16_t maximumWrite = hook.maximumWriteSize;

    VersionCheckRecord version{};
    if (!ModuleEngine().checksWdVersion) {
        // The Linux engine has no version check and no high-performance channel.
        relay::GetVirtualChannel().SetDataChannel(channel, wdData, queueVirtualWrite, nullptr, false,
                                                  maximumWrite);
        diag::LogDetail("Data Channel successfully registered (Channel nr: ", channel, ")");
        return kStatusSuccess;
    }
    diag::LogDetail("Check WinStationDriver version");
    status = CallWd(driver, kWdQueryInformation, kClassVersionCheck, &version, sizeof version);
    if (status != kStatusSuccess) {
        diag::LogDetail("Error checking the WinStationDriver! channel number=", channel,
                        " result=", status);
        char lastError[kLastErrorRecordLength] = {};
        (void)DriverGetLastError(driver, lastError);
        const char* message = lastError + sizeof(std::int32_t);  // after the error number
        diag::LogDetail("Last error: \"",
                        std::string(message, strnlen(message, sizeof lastError - sizeof(std::int32_t))),
                        "\"");
        return status;
    }
    g_bIsHPC = version.version != 0;
    diag::LogDetail("HPC: ", g_bIsHPC ? "1" : "0");

    if (g_bIsHPC) {
        HpcPropertiesRecord properties{};
        properties.wdData = wdData;
        properties.options =
            relay::GetVirtualChannel().UsesInstrumentThread() ? 0 : kHpcNoPolling;
        properties.version = kHpcVersion;
        diag::LogDetail("WdSet_HPC_Properties Version=", properties.version,
                        " ulVdOptions=", properties.options, " g_pWd=", Hex(wdData));
        status = CallWd(driver, kWdSetInformation, kClassHpcProperties, &properties,
                        sizeof properties);
        if (status != kStatusSuccess) {
            diag::LogDetail("WdSet_HPC_Properties failed, Result=", status);
            return status;
        }
    }

    relay::GetVirtualChannel().SetDataChannel(channel, wdData, queueVirtualWrite, version.hpcSend,
                                              g_bIsHPC, maximumWrite);
    diag::LogDetail("Data Channel successfully registered (Channel nr: ", channel, ")");
    return kStatusSuccess;
}

}  // namespace

std::string Hex(const void* pointer) {
    char text[2 + 2 * sizeof(void*) + 1];
    std::snprintf(text, sizeof text, "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(pointer)));
    return text;
}

EngineStatus VdCallWd(DriverRecord* driver, std::uint16_t entry, InformationRequest* request,
                      std::uint16_t* size) {
    LinkRecord* wd = driver->wdLink;
    if (wd == nullptr || wd->procedures == nullptr || wd->procedures[entry] == nullptr)
        return kStatusNoProcedureTable;
    return wd->procedures[entry](wd->data, request, size);
}

namespace {
// The bit of one channel in the module's channel mask; none for a number
// beyond the mask's 32 bits.
std::uint32_t ChannelBit(std::uint16_t channel) { return channel < 32 ? 1u << channel : 0u; }
}  // namespace

EngineStatus DriverOpen(DriverRecord* driver, OpenRecord* open, std::uint16_t* size) {
    diag::LogLine("ICA: Driver Open");
    const EngineAbi& engine = ModuleEngine();
    if (engine.name != nullptr) diag::LogDetail("Engine: ", engine.name);
    g_bIsHPC = false;
    // Read once per session, so that the HPC options and the way commands
    // run always agree: on unless an administrator turned it off.
    diag::LogSettings();
    const bool threaded = diag::ReadSetting(names::kInstrumentThreadSetting).value != 0;
    relay::GetVirtualChannel().UseInstrumentThread(threaded);
    diag::LogDetail("Instrument thread: ", threaded ? "on" : "off");
    std::uint16_t commandChannel = 0;
    std::uint16_t dataChannel = 0;
    EngineStatus status = OpenCommandChannel(driver, size, commandChannel);
    if (status != kStatusSuccess) return status;
    status = OpenDataChannel(driver, size, dataChannel);
    if (status != kStatusSuccess) return status;
    if (engine.driverSetsChannelMask && open != nullptr) {
        open->channelMask = ChannelBit(commandChannel) | ChannelBit(dataChannel);
        diag::LogDetail("Channel mask: ", open->channelMask);
    }
    if (engine.offersEvents && threaded) StartEngineWake();
    return kStatusSuccess;
}

EngineStatus DriverInfo(DriverRecord* driver, InfoRequest* request, std::uint16_t*) {
    diag::LogLine("ICA: Driver Info");
    const std::uint32_t mask = driver->channelMask;
    const std::uint16_t byteCount = request->byteCount;
    if (byteCount < kModuleInfoLength || request->buffer == nullptr) {
        diag::LogDetail("ICA: Driver Info - Buffer too small (Buffer: ", byteCount,
                        ", Info: ", kModuleInfoLength, ") (Channel mask: ", mask, ")");
        request->byteCount = kModuleInfoLength;
        return kStatusBufferTooSmall;
    }
    diag::LogDetail("ICA: Driver Info - (Channel mask: ", mask, ") Buffer OK (", byteCount, ")");

    std::uint8_t* record = request->buffer;
    const char* name = reinterpret_cast<const char*>(record + kModuleInfoNameOffset);
    diag::LogDetail("ICA: Driver Info - (Module name: ",
                    std::string(name, strnlen(name, kModuleInfoNameLength)), ") Buffer OK (",
                    byteCount, ")");

    const std::uint16_t length = kModuleInfoLength;
    std::memcpy(record, &length, sizeof length);  // little-endian u16 at 0
    record[3] = 3;                                 // module class: virtual driver
    record[4] = 1;                                 // lowest version
    record[5] = 1;                                 // highest version
    std::memset(record + kModuleInfoHostModuleNameOffset, 0, 9);
    std::memcpy(record + kModuleInfoHostModuleNameOffset, "ICA", 3);
    record[40] = 0;  // flow-control quota
    record[41] = 0;  // flow-control type
    return kStatusSuccess;
}

EngineStatus DriverClose(DriverRecord*, void*, std::uint16_t*) {
    diag::LogLine("ICA: Driver Close");
    // The instrument thread ends with the session, and so does a driver
    // host; a driver loaded in-process stays, as it always has.
    relay::GetVirtualChannel().StopThenRelease(relay::Session::Release::HostedDriver);
    StopEngineWake();
    return kStatusSuccess;
}

EngineStatus DriverQueryInformation(DriverRecord*, void*, std::uint16_t*) {
    diag::LogLine("ICA: Driver Query Information");
    return kStatusSuccess;
}

EngineStatus DriverSetInformation(DriverRecord*, void*, std::uint16_t*) {
    diag::LogLine("ICA: Driver Set Information");
    return kStatusSuccess;
}

EngineStatus DriverGetLastError(DriverRecord*, void*) {
    diag::LogLine("ICA: Driver GetLastError");
    return kStatusSuccess;
}

}  // namespace ica
