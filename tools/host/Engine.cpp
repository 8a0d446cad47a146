#include "tools/host/Engine.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <list>
#include <thread>

#include "tools/host/EventLoop.h"

namespace standin {

using namespace ica;

namespace {
Engine* Owner(void* wd) { return static_cast<Engine*>(wd); }

// The Linux client's event objects, made by the module through the
// functions below (on the engine's thread, as the client's are).
struct StandinEvent {
    Engine* host;
    platform::EngineEvents::Deliver deliver;
    void* subscriber;
    int descriptor;
};
std::list<StandinEvent> standinEvents;
}  // namespace

Engine* Engine::opening = nullptr;

Engine::Engine(platform::CitrixEngine engineKind) : kind(engineKind) {
    libraryManager[2] = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(&UseLibrary));
    wdProcedures[kWdQueryInformation] = &WdQueryInformation;
    wdProcedures[kWdSetInformation] = &WdSetInformation;
    wdLink.data = this;
    engineLink.libraryManager = libraryManager;
}

Engine::~Engine() {
    UnloadModule();
    // Events a module left behind die with their host: none may call it later.
    standinEvents.remove_if([this](const StandinEvent& event) { return event.host == this; });
}

bool Engine::LoadModule(const std::string& path, std::string* error) {
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

bool Engine::UseLoad(LoadProc load, std::string* error) {
    const EngineStatus status = load(&engineLink);
    if (status != kStatusSuccess || engineLink.procedures == nullptr) {
        *error = "Load failed with status " + std::to_string(status);
        return false;
    }
    return true;
}

void Engine::UnloadModule() {
    if (engineLink.procedures != nullptr) (void)UnloadProcedure();
    if (module != nullptr) platform::CloseLibrary(module);
    module = nullptr;
    hooks.clear();
}

EngineStatus Engine::Call(int index, void* parameter, std::uint16_t* size) {
    // No module loaded (or one that gave no table): nothing to call.
    if (engineLink.procedures == nullptr || engineLink.procedures[index] == nullptr)
        return ica::kStatusNoProcedureTable;
    return engineLink.procedures[index](engineLink.data, parameter, size);
}

EngineStatus Engine::Open() {
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

EngineStatus Engine::Close() {
    std::uint16_t size = 0;
    return Call(3, nullptr, &size);
}

EngineStatus Engine::Info(std::uint8_t* buffer, std::uint16_t* byteCount) {
    InfoRequest request{buffer, *byteCount};
    std::uint16_t size = 0;
    const EngineStatus status = Call(4, &request, &size);
    *byteCount = request.byteCount;
    return status;
}

EngineStatus Engine::Poll() {
    std::uint16_t size = 0;
    return Call(5, nullptr, &size);
}

EngineStatus Engine::QueryInformation(std::uint32_t informationClass, void* buffer,
                                          std::uint32_t length, std::uint32_t* returnedLength) {
    QueryRecord query{informationClass, buffer, length, *returnedLength};
    std::uint16_t size = 0;
    const EngineStatus status = Call(6, &query, &size);
    *returnedLength = query.returnedLength;
    return status;
}

EngineStatus Engine::SetInformation() {
    std::uint16_t size = 0;
    return Call(7, nullptr, &size);
}

EngineStatus Engine::UnloadProcedure() {
    std::uint16_t size = 0;
    return Call(1, &engineLink, &size);
}

void Engine::RefuseSends(int count, EngineStatus status) {
    std::lock_guard<std::mutex> lock(sendLock);
    refuseCount = count;
    refuseStatus = status;
}

std::size_t Engine::SentCount() {
    std::lock_guard<std::mutex> lock(sendLock);
    return sent.size();
}

std::vector<SentResponse> Engine::SentSince(std::size_t first) {
    std::lock_guard<std::mutex> lock(sendLock);
    if (first >= sent.size()) return {};
    return std::vector<SentResponse>(sent.begin() + static_cast<std::ptrdiff_t>(first), sent.end());
}

bool Engine::Deliver(const std::string& channelName, const std::string& bytes) {
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

std::vector<SentResponse> Engine::Run(const std::string& channelName,
                                          const std::string& command, int maxWaitMs) {
    const std::size_t before = SentCount();
    Deliver(channelName, command);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxWaitMs);
    while (SentCount() == before && std::chrono::steady_clock::now() < deadline) {
        if (kind == platform::CitrixEngine::Linux && DeliverEvents(pollsDriver ? 0 : 1) > 0) continue;
        if (!pollsDriver) continue;
        const EngineStatus status = Poll();
        if (status == kStatusNoData)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // not ready yet
        else if (status != kStatusRetry && status != kStatusSuccess)
            break;  // a failed send: the response stays pending
    }
    return SentSince(before);
}

EngineStatus Engine::Accept(std::uint16_t channel, std::string bytes, bool viaHpc) {
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

int Engine::DeliverEvents(int waitMs) {
    std::vector<int> descriptors;
    for (const StandinEvent& event : standinEvents)
        if (event.host == this && event.descriptor >= 0) descriptors.push_back(event.descriptor);
    if (descriptors.empty()) {
        if (waitMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
        return 0;
    }
    int delivered = 0;
    for (const int descriptor : ReadableWithin(descriptors, waitMs)) {
        for (StandinEvent& event : standinEvents) {
            if (event.host != this || event.descriptor != descriptor) continue;
            event.deliver(event.subscriber, &event);
            ++delivered;
            break;  // the callback may have destroyed the event
        }
    }
    eventDeliveries += delivered;
    return delivered;
}

int Engine::LiveEvents() const {
    int count = 0;
    for (const StandinEvent& event : standinEvents) count += event.host == this;
    return count;
}

int Engine::WatchedEvents() const {
    int count = 0;
    for (const StandinEvent& event : standinEvents) count += event.host == this && event.descriptor >= 0;
    return count;
}

namespace {
// What the Linux engine answers for a class it has no such meaning for.
constexpr EngineStatus kStatusUnknownClass = ica::kStatusGeneralError;

bool KnownToLinuxEngine(std::uint16_t entry, std::uint32_t informationClass) {
    return entry == kWdQueryInformation ? informationClass == kClassOpenChannel
                                        : informationClass == kClassWriteHook;
}
}  // namespace

EngineStatus KST_CDECL Engine::WdQueryInformation(void* wd, void* parameter,
                                                      std::uint16_t*) {
    Engine* self = Owner(wd);
    auto* request = static_cast<InformationRequest*>(parameter);
    self->informationCalls.push_back(
        {kWdQueryInformation, request->informationClass, request->length});
    const auto failure = self->failClass.find(request->informationClass);
    if (failure != self->failClass.end()) return failure->second;
    if (self->kind == platform::CitrixEngine::Linux &&
        !KnownToLinuxEngine(kWdQueryInformation, request->informationClass))
        return kStatusUnknownClass;

    switch (request->informationClass) {
        case kClassOpenChannel: {
            auto* record = static_cast<OpenChannelRecord*>(request->parameter);
            const std::string name = record->name;
            auto found = self->channelNumbers.find(name);
            if (found == self->channelNumbers.end())
                found = self->channelNumbers
                            .emplace(name, static_cast<std::uint16_t>(
                                               self->firstChannelNumber + self->channelNumbers.size()))
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

EngineStatus KST_CDECL Engine::WdSetInformation(void* wd, void* parameter, std::uint16_t*) {
    Engine* self = Owner(wd);
    auto* request = static_cast<InformationRequest*>(parameter);
    self->informationCalls.push_back(
        {kWdSetInformation, request->informationClass, request->length});
    const auto failure = self->failClass.find(request->informationClass);
    if (failure != self->failClass.end()) return failure->second;
    if (self->kind == platform::CitrixEngine::Linux &&
        !KnownToLinuxEngine(kWdSetInformation, request->informationClass))
        return kStatusUnknownClass;

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

EngineStatus KST_CDECL Engine::QueueVirtualWrite(void* wd, std::uint16_t channel,
                                                     MemorySection* sections, std::uint16_t count,
                                                     std::uint16_t) {
    Engine* self = Owner(wd);
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

EngineStatus KST_CDECL Engine::HpcSend(void* wd, std::uint16_t channel, std::uint8_t* bytes,
                                           std::uint16_t length, void*, std::uint32_t) {
    return Owner(wd)->Accept(channel, std::string(reinterpret_cast<const char*>(bytes), length),
                             true);
}

EngineStatus KST_CDECL Engine::UseLibrary(const char* name, void*, void** table) {
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

// The Linux client's event functions, which a module finds in the client
// program (this one exports them). Each answers 0, EVT_SUCCESS, or 1.
extern "C" {
KST_EXPORT int Evt_create(void*, platform::EngineEvents::Deliver deliver, void* subscriber,
                          void** out) {
    using standin::Engine;
    if (out == nullptr || deliver == nullptr || Engine::opening == nullptr ||
        !Engine::opening->eventsOffered)
        return 1;
    standin::standinEvents.push_back({Engine::opening, deliver, subscriber, -1});
    *out = &standin::standinEvents.back();
    return 0;
}
KST_EXPORT int Evt_trigger_for_input(void* event, int descriptor) {
    for (standin::StandinEvent& known : standin::standinEvents)
        if (&known == event) {
            known.descriptor = descriptor;
            return 0;
        }
    return 1;
}
KST_EXPORT int Evt_remove_triggers(int descriptor) {
    for (standin::StandinEvent& known : standin::standinEvents)
        if (known.descriptor == descriptor) known.descriptor = -1;
    return 0;
}
KST_EXPORT int Evt_destroy(void** event) {
    if (event == nullptr) return 1;
    for (standin::StandinEvent& known : standin::standinEvents)
        if (&known == *event && known.descriptor >= 0) ++known.host->eventFaults;
    standin::standinEvents.remove_if(
        [&](const standin::StandinEvent& known) { return &known == *event; });
    *event = nullptr;
    return 0;
}
}
