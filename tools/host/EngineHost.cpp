#include "tools/host/EngineHost.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace standin {

using namespace ica;

namespace {
EngineHost* Owner(void* wd) { return static_cast<EngineHost*>(wd); }

constexpr std::uint16_t kFirstChannelNumber = 11;
}  // namespace

EngineHost* EngineHost::opening = nullptr;

EngineHost::EngineHost() {
    libraryManager[2] = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(&UseLibrary));
    wdProcedures[kWdQueryInformation] = &WdQueryInformation;
    wdProcedures[kWdSetInformation] = &WdSetInformation;
    wdLink.data = this;
    engineLink.libraryManager = libraryManager;
}

EngineHost::~EngineHost() { UnloadModule(); }

bool EngineHost::LoadModule(const std::string& path, std::string* error) {
    module = platform::OpenLibrary(path);
    if (module == nullptr) {
        *error = "cannot load the module \"" + path + "\" (error " +
                 std::to_string(platform::LastLibraryError()) + ")";
        return false;
    }
    void* load = platform::FindSymbol(module, "Load");
    if (load == nullptr) {
        *error = "the module \"" + path + "\" has no Load export";
        platform::CloseLibrary(module);
        module = nullptr;
        return false;
    }
    if (!UseLoad(reinterpret_cast<LoadProc>(reinterpret_cast<std::uintptr_t>(load)), error)) {
        platform::CloseLibrary(module);
        module = nullptr;
        return false;
    }
    return true;
}

bool EngineHost::UseLoad(LoadProc load, std::string* error) {
    const EngineStatus status = load(&engineLink);
    if (status != kStatusSuccess || engineLink.procedures == nullptr) {
        *error = "Load failed with status " + std::to_string(status);
        return false;
    }
    return true;
}

void EngineHost::UnloadModule() {
    if (engineLink.procedures != nullptr) (void)UnloadProcedure();
    if (module != nullptr) platform::CloseLibrary(module);
    module = nullptr;
    hooks.clear();
}

EngineStatus EngineHost::Call(int index, void* parameter, std::uint16_t* size) {
    // No module loaded (or one that gave no table): nothing to call.
    if (engineLink.procedures == nullptr || engineLink.procedures[index] == nullptr)
        return ica::kStatusNoProcedureTable;
    return engineLink.procedures[index](engineLink.data, parameter, size);
}

EngineStatus EngineHost::Open() {
    wdLink.procedures = wdHasProcedureTable ? wdProcedures : nullptr;
    openRecord = OpenRecord{};
    openRecord.wdLink = &wdLink;
    openRecord.channelMask = openChannelMask;
    openSize = 0;
    opening = this;
    const EngineStatus status = Call(2, &openRecord, &openSize);
    opening = nullptr;
    return status;
}

EngineStatus EngineHost::Close() {
    std::uint16_t size = 0;
    return Call(3, nullptr, &size);
}

EngineStatus EngineHost::Info(std::uint8_t* buffer, std::uint16_t* byteCount) {
    InfoRequest request{buffer, *byteCount};
    std::uint16_t size = 0;
    const EngineStatus status = Call(4, &request, &size);
    *byteCount = request.byteCount;
    return status;
}

EngineStatus EngineHost::Poll() {
    std::uint16_t size = 0;
    return Call(5, nullptr, &size);
}

EngineStatus EngineHost::QueryInformation(std::uint32_t informationClass, void* buffer,
                                          std::uint32_t length, std::uint32_t* returnedLength) {
    QueryRecord query{informationClass, buffer, length, *returnedLength};
    std::uint16_t size = 0;
    const EngineStatus status = Call(6, &query, &size);
    *returnedLength = query.returnedLength;
    return status;
}

EngineStatus EngineHost::SetInformation() {
    std::uint16_t size = 0;
    return Call(7, nullptr, &size);
}

EngineStatus EngineHost::UnloadProcedure() {
    std::uint16_t size = 0;
    return Call(1, &engineLink, &size);
}

void EngineHost::RefuseSends(int count, EngineStatus status) {
    std::lock_guard<std::mutex> lock(sendLock);
    refuseCount = count;
    refuseStatus = status;
}

std::size_t EngineHost::SentCount() {
    std::lock_guard<std::mutex> lock(sendLock);
    return sent.size();
}

std::vector<SentResponse> EngineHost::SentSince(std::size_t first) {
    std::lock_guard<std::mutex> lock(sendLock);
    if (first >= sent.size()) return {};
    return std::vector<SentResponse>(sent.begin() + static_cast<std::ptrdiff_t>(first), sent.end());
}

bool EngineHost::Deliver(const std::string& channelName, const std::string& bytes) {
    const auto number = channelNumbers.find(channelName);
    if (number == channelNumbers.end() || bytes.size() > 0xFFFF) return false;
    const auto hook = hooks.find(number->second);
    if (hook == hooks.end()) return false;
    // The module may read the bytes during the call only: hand it a copy that
    // dies right after, so that a later read would be caught by the sanitizers.
    std::string copy(bytes);
    const auto start = std::chrono::steady_clock::now();
    hook->second.callback(hook->second.moduleData, number->second,
                          reinterpret_cast<std::uint8_t*>(&copy[0]),
                          static_cast<std::uint16_t>(copy.size()));
    lastHookMicroseconds =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    return true;
}

std::vector<SentResponse> EngineHost::Run(const std::string& channelName,
                                          const std::string& command, int maxWaitMs) {
    const std::size_t before = SentCount();
    Deliver(channelName, command);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxWaitMs);
    while (SentCount() == before && std::chrono::steady_clock::now() < deadline) {
        const EngineStatus status = Poll();
        if (status == kStatusNoData)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // not ready yet
        else if (status != kStatusRetry && status != kStatusSuccess)
            break;  // a failed send: the response stays pending
    }
    return SentSince(before);
}

EngineStatus EngineHost::Accept(std::uint16_t channel, std::string bytes, bool viaHpc) {
    std::lock_guard<std::mutex> lock(sendLock);
    ++sendAttempts;
    if (std::this_thread::get_id() != engineThread) ++offThreadSends;
    if (refuseCount > 0) {
        --refuseCount;
        return refuseStatus;
    }
    sent.push_back({channel, std::move(bytes), viaHpc});
    return kStatusSuccess;
}

EngineStatus KST_CDECL EngineHost::WdQueryInformation(void* wd, void* parameter,
                                                      std::uint16_t*) {
    EngineHost* self = Owner(wd);
    auto* request = static_cast<InformationRequest*>(parameter);
    self->informationCalls.push_back(
        {kWdQueryInformation, request->informationClass, request->length});
    const auto failure = self->failClass.find(request->informationClass);
    if (failure != self->failClass.end()) return failure->second;

    switch (request->informationClass) {
        case kClassOpenChannel: {
            auto* record = static_cast<OpenChannelRecord*>(request->parameter);
            const std::string name = record->name;
            auto found = self->channelNumbers.find(name);
            if (found == self->channelNumbers.end())
                found = self->channelNumbers
                            .emplace(name, static_cast<std::uint16_t>(
                                               kFirstChannelNumber + self->channelNumbers.size()))
                            .first;
            record->channel = found->second;
            return kStatusSuccess;
        }
        case kClassVersionCheck: {
            auto* record = static_cast<VersionCheckRecord*>(request->parameter);
            record->version = self->hpc ? 1 : 0;
            record->hpcSend = &HpcSend;
            return kStatusSuccess;
        }
        default:
            return kStatusSuccess;
    }
}

EngineStatus KST_CDECL EngineHost::WdSetInformation(void* wd, void* parameter, std::uint16_t*) {
    EngineHost* self = Owner(wd);
    auto* request = static_cast<InformationRequest*>(parameter);
    self->informationCalls.push_back(
        {kWdSetInformation, request->informationClass, request->length});
    const auto failure = self->failClass.find(request->informationClass);
    if (failure != self->failClass.end()) return failure->second;

    switch (request->informationClass) {
        case kClassWriteHook: {
            auto* record = static_cast<WriteHookRecord*>(request->parameter);
            self->hooks[record->channel] = {record->callback, record->moduleData};
            record->wdData = self;
            record->maximumWriteSize = self->maximumWrite;
            record->queueVirtualWrite = &QueueVirtualWrite;
            return kStatusSuccess;
        }
        case kClassHpcProperties:
            self->hpcProperties.push_back(*static_cast<HpcPropertiesRecord*>(request->parameter));
            return kStatusSuccess;
        default:
            return kStatusSuccess;
    }
}

EngineStatus KST_CDECL EngineHost::QueueVirtualWrite(void* wd, std::uint16_t channel,
                                                     MemorySection* sections, std::uint16_t count,
                                                     std::uint16_t) {
    EngineHost* self = Owner(wd);
    std::string bytes;
    for (std::uint16_t i = 0; i < count; ++i)
        bytes.append(reinterpret_cast<const char*>(sections[i].bytes), sections[i].length);
    if (self->maximumWrite >= 2 && bytes.size() > self->maximumWrite - 1u) {
        std::lock_guard<std::mutex> lock(self->sendLock);
        ++self->sendAttempts;
        if (std::this_thread::get_id() != self->engineThread) ++self->offThreadSends;
        self->refusedWriteSizes.push_back(bytes.size());
        return kStatusWriteTooLarge;
    }
    return self->Accept(channel, std::move(bytes), false);
}

EngineStatus KST_CDECL EngineHost::HpcSend(void* wd, std::uint16_t channel, std::uint8_t* bytes,
                                           std::uint16_t length, void*, std::uint32_t) {
    return Owner(wd)->Accept(channel, std::string(reinterpret_cast<const char*>(bytes), length),
                             true);
}

EngineStatus KST_CDECL EngineHost::UseLibrary(const char* name, void*, void** table) {
    // The module links the engine's libraries by name but calls none of them;
    // the call carries no context, so it goes to the host that is opening.
    *table = nullptr;
    if (opening != nullptr) opening->linkedLibraries.push_back(name != nullptr ? name : "");
    return kStatusSuccess;
}

std::string Printable(const std::string& bytes) {
    std::string text;
    for (const char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            text += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            text += escaped;
        }
    }
    return text;
}

}  // namespace standin
