#include "tests/support/StaticChannelClient.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/Library.h"
#include "svc/StaticChannelApi.h"

namespace testing_support {

namespace api = svc::api;

struct StaticChannelClient::State {
    platform::LibraryHandle library = nullptr;
    Entry entry = Entry::Extended;
    bool entered = false;
    bool connected = false;
    int initToken = 0;  // its address is the init handle
    void* userParam = nullptr;
    api::InitEvent initEvent = nullptr;
    api::InitEventEx initEventEx = nullptr;
    std::vector<std::string> registered;
    std::uint32_t failInit = 0;
    std::map<std::string, std::uint32_t> failOpen;
    std::uint32_t failWrites = 0;

    struct Open {
        std::string name;
        bool open = false;
        api::OpenEvent event = nullptr;
        api::OpenEventEx eventEx = nullptr;
    };
    std::map<std::uint32_t, Open> opens;  // by handle
    std::uint32_t lastHandle = 100;

    struct Pending {
        std::uint32_t handle;
        const char* data;
        std::uint32_t length;
        void* userData;
    };
    mutable std::mutex lock;  // what the plug-in writes, from its threads
    mutable std::condition_variable written;
    std::vector<Pending> pending;
    std::vector<StaticWrite> completed;
    std::size_t made = 0;
    int notOpen = 0;
    bool hold = false;
    std::function<void()> insideWrite;

    void InitEvent(std::uint32_t event) {
        if (initEventEx != nullptr) initEventEx(userParam, &initToken, event, nullptr, 0);
        else if (initEvent != nullptr) initEvent(&initToken, event, nullptr, 0);
    }
    // A handle the client never gave goes to the first channel's procedure, as a confused client might send it.
    void OpenEvent(std::uint32_t handle, std::uint32_t event, void* data, std::uint32_t length,
                   std::uint32_t total, std::uint32_t flags) {
        const auto found = opens.count(handle) != 0 ? opens.find(handle) : opens.begin();
        if (found == opens.end()) return;
        if (found->second.eventEx != nullptr)
            found->second.eventEx(userParam, handle, event, data, length, total, flags);
        else if (found->second.event != nullptr)
            found->second.event(handle, event, data, length, total, flags);
    }
    std::uint32_t Register(api::ChannelDef* channels, int count) {
        if (failInit != 0) return failInit;
        if (channels == nullptr || count <= 0) return 20;  // CHANNEL_RC_INITIALIZATION_ERROR
        for (int i = 0; i < count; ++i)
            registered.push_back(std::string(channels[i].name, strnlen(channels[i].name, 8)));
        return api::kOk;
    }
    std::uint32_t OpenChannel(std::uint32_t* handle, const char* name, api::OpenEvent event,
                              api::OpenEventEx eventEx) {
        if (!connected) return 4;  // CHANNEL_RC_NOT_CONNECTED
        const auto fail = failOpen.find(name);
        if (fail != failOpen.end()) return fail->second;
        for (auto& [known, open] : opens)
            if (open.name == name && open.open) return 14;  // CHANNEL_RC_ALREADY_OPEN
        bool registeredName = false;
        for (const std::string& each : registered) registeredName |= each == name;
        if (!registeredName) return 13;  // CHANNEL_RC_UNKNOWN_CHANNEL_NAME
        std::lock_guard<std::mutex> guard(lock);
        Open& open = opens[*handle = ++lastHandle];
        open.name = name;
        open.open = true;
        open.event = event;
        open.eventEx = eventEx;
        return api::kOk;
    }
    std::uint32_t CloseChannel(std::uint32_t handle) {
        std::lock_guard<std::mutex> guard(lock);
        const auto found = opens.find(handle);
        if (found == opens.end()) return 7;  // CHANNEL_RC_BAD_CHANNEL_HANDLE
        if (!found->second.open) return 10;  // CHANNEL_RC_NOT_OPEN
        found->second.open = false;
        return api::kOk;
    }
    std::uint32_t Write(std::uint32_t handle, void* data, std::uint32_t length, void* userData) {
        if (data == nullptr) return 16;  // CHANNEL_RC_NULL_DATA
        if (length == 0) return 17;      // CHANNEL_RC_ZERO_LENGTH
        if (failWrites != 0) return failWrites;
        std::function<void()> action;
        {
            std::lock_guard<std::mutex> guard(lock);
            const auto found = opens.find(handle);
            if (found == opens.end() || !found->second.open) {
                ++notOpen;
                return 10;
            }
            pending.push_back(Pending{handle, static_cast<const char*>(data), length, userData});
            ++made;
            written.notify_all();
            action.swap(insideWrite);
        }
        if (action) action();
        return api::kOk;
    }
    // On the caller's thread: the bytes are read now, as the client sends them.
    void Complete(bool cancel) {
        std::vector<Pending> done;
        {
            std::lock_guard<std::mutex> guard(lock);
            done.swap(pending);
        }
        for (const Pending& write : done) {
            {
                std::lock_guard<std::mutex> guard(lock);
                if (!cancel) completed.push_back(StaticWrite{opens[write.handle].name, std::string(write.data, write.length)});
            }
            OpenEvent(write.handle, cancel ? api::kEventWriteCancelled : api::kEventWriteComplete, write.userData,
                      write.length, write.length, 0);
        }
    }
};

namespace {

StaticChannelClient::State* current = nullptr;

std::uint32_t KST_VCAPI InitClassic(void** initHandle, api::ChannelDef* channels, int count, std::uint32_t,
                                    api::InitEvent procedure) {
    if (initHandle == nullptr || procedure == nullptr) return 9;  // CHANNEL_RC_BAD_INIT_HANDLE
    const std::uint32_t result = current->Register(channels, count);
    if (result != api::kOk) return result;
    *initHandle = &current->initToken;
    current->initEvent = procedure;
    return api::kOk;
}
std::uint32_t KST_VCAPI InitExtended(void* userParam, void*, void* initHandle, api::ChannelDef* channels, int count,
                                     std::uint32_t, api::InitEventEx procedure) {
    if (initHandle != &current->initToken || procedure == nullptr) return 9;
    const std::uint32_t result = current->Register(channels, count);
    if (result != api::kOk) return result;
    current->userParam = userParam;
    current->initEventEx = procedure;
    return api::kOk;
}
std::uint32_t KST_VCAPI OpenClassic(void* initHandle, std::uint32_t* handle, char* name, api::OpenEvent procedure) {
    if (initHandle != &current->initToken || handle == nullptr || name == nullptr) return 7;
    return current->OpenChannel(handle, name, procedure, nullptr);
}
std::uint32_t KST_VCAPI OpenExtended(void* initHandle, std::uint32_t* handle, char* name,
                                     api::OpenEventEx procedure) {
    if (initHandle != &current->initToken || handle == nullptr || name == nullptr) return 7;
    return current->OpenChannel(handle, name, nullptr, procedure);
}
std::uint32_t KST_VCAPI CloseClassic(std::uint32_t handle) { return current->CloseChannel(handle); }
std::uint32_t KST_VCAPI CloseExtended(void* initHandle, std::uint32_t handle) {
    if (initHandle != &current->initToken) return 9;
    return current->CloseChannel(handle);
}
std::uint32_t KST_VCAPI WriteClassic(std::uint32_t handle, void* data, std::uint32_t length, void* userData) {
    return current->Write(handle, data, length, userData);
}
std::uint32_t KST_VCAPI WriteExtended(void* initHandle, std::uint32_t handle, void* data, std::uint32_t length,
                                      void* userData) {
    if (initHandle != &current->initToken) return 9;
    return current->Write(handle, data, length, userData);
}

using EntryEx = int(KST_VCAPI*)(api::EntryPointsEx*, void*);
using EntryClassic = int(KST_VCAPI*)(api::EntryPoints*);

}  // namespace

StaticChannelClient::StaticChannelClient() : state_(new State) { current = state_.get(); }

StaticChannelClient::~StaticChannelClient() {
    if (state_->entered) {
        if (state_->connected) Disconnect();
        Terminate();
    }
    state_->Complete(true);
    if (state_->library != nullptr) platform::CloseLibrary(state_->library);
    if (current == state_.get()) current = nullptr;
}

int StaticChannelClient::Load(const std::string& path, Entry entry, std::string* error) {
    state_->library = platform::OpenLibrary(path);
    if (state_->library == nullptr) {
        *error = "cannot load " + path + " (error " + std::to_string(platform::LastLibraryError()) + ")";
        return -1;
    }
    state_->entry = entry;
    int result = 0;
    if (entry == Entry::Extended) {
        const auto function = reinterpret_cast<EntryEx>(platform::FindSymbol(state_->library, "VirtualChannelEntryEx"));
        if (function == nullptr) {
            *error = "no VirtualChannelEntryEx in " + path;
            return -1;
        }
        api::EntryPointsEx points{sizeof(api::EntryPointsEx), api::kVersionWin2000, InitExtended, OpenExtended,
                                  CloseExtended, WriteExtended};
        result = function(&points, &state_->initToken);
        std::memset(&points, 0xCC, sizeof points);  // the client's record lasts for the call only
    } else {
        const auto function = reinterpret_cast<EntryClassic>(platform::FindSymbol(state_->library, "VirtualChannelEntry"));
        if (function == nullptr) {
            *error = "no VirtualChannelEntry in " + path;
            return -1;
        }
        api::EntryPoints points{sizeof(api::EntryPoints), api::kVersionWin2000, InitClassic, OpenClassic,
                                CloseClassic, WriteClassic};
        result = function(&points);
        std::memset(&points, 0xCC, sizeof points);
    }
    state_->entered = result != 0;
    if (state_->entered) state_->InitEvent(api::kEventInitialized);
    return result != 0 ? 1 : 0;
}

std::vector<std::string> StaticChannelClient::Registered() const { return state_->registered; }
void StaticChannelClient::FailInit(std::uint32_t code) { state_->failInit = code; }
void StaticChannelClient::FailOpen(const std::string& name, std::uint32_t code) { state_->failOpen[name] = code; }
void StaticChannelClient::FailWrites(std::uint32_t code) { state_->failWrites = code; }

void StaticChannelClient::Connect() {
    state_->connected = true;
    state_->InitEvent(api::kEventConnected);
}

// As FreeRDP does, a channel stays open until the plug-in closes it: one
// left open cannot be opened again on the next connection.
void StaticChannelClient::Disconnect() {
    state_->InitEvent(api::kEventDisconnected);
    state_->connected = false;
}

void StaticChannelClient::Terminate() {
    state_->InitEvent(api::kEventTerminated);
    state_->entered = false;
}

bool StaticChannelClient::IsOpen(const std::string& name) const {
    std::lock_guard<std::mutex> guard(state_->lock);
    for (const auto& [handle, open] : state_->opens)
        if (open.name == name && open.open) return true;
    return false;
}

void StaticChannelClient::Chunk(const std::string& name, const std::string& bytes, std::uint32_t total,
                                std::uint32_t flags) {
    std::uint32_t handle = 0;
    for (const auto& [known, open] : state_->opens)
        if (open.name == name && open.open) handle = known;
    // The client's buffer lasts for the event only: overwritten after it.
    std::string buffer = bytes;
    state_->OpenEvent(handle, api::kEventDataReceived, buffer.empty() ? nullptr : &buffer[0],
                      std::uint32_t(buffer.size()), total, flags);
    std::memset(&buffer[0], 0xCC, buffer.size());
}

void StaticChannelClient::Send(const std::string& name, const std::string& message, std::size_t chunk) {
    std::size_t at = 0;
    do {
        const std::size_t size = std::min(chunk, message.size() - at);
        std::uint32_t flags = at == 0 ? api::kFlagFirst : 0;
        if (at + size == message.size()) flags |= api::kFlagLast;
        Chunk(name, message.substr(at, size), std::uint32_t(message.size()), flags);
        at += size;
    } while (at < message.size());
}

std::vector<StaticWrite> StaticChannelClient::Run(const std::string& name, const std::string& command,
                                                  int maxWaitMs) {
    const std::size_t before = WriteCount();
    const std::size_t completedBefore = [&] {
        std::lock_guard<std::mutex> guard(state_->lock);
        return state_->completed.size();
    }();
    Send(name, command);
    WaitForWrites(before + 1, maxWaitMs);
    if (!state_->hold) CompleteWrites();
    return WritesSince(completedBefore);
}

void StaticChannelClient::HoldWrites(bool hold) { state_->hold = hold; }

void StaticChannelClient::InsideNextWrite(std::function<void()> action) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->insideWrite = std::move(action);
}

std::size_t StaticChannelClient::HeldWrites() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->pending.size();
}

void StaticChannelClient::CompleteWrites(bool cancel) { state_->Complete(cancel); }

void StaticChannelClient::CompleteUnknownWrite(void* userData) {
    for (const auto& [handle, open] : state_->opens) {
        if (!open.open) continue;
        state_->OpenEvent(handle, api::kEventWriteComplete, userData, 8, 8, 0);
        state_->OpenEvent(handle, api::kEventWriteCancelled, userData, 8, 8, 0);
        return;
    }
}

bool StaticChannelClient::WaitForWrites(std::size_t count, int maxWaitMs) const {
    std::unique_lock<std::mutex> guard(state_->lock);
    return state_->written.wait_for(guard, std::chrono::milliseconds(maxWaitMs),
                                    [&] { return state_->made >= count; });
}

std::vector<StaticWrite> StaticChannelClient::WritesSince(std::size_t first) const {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (first >= state_->completed.size()) return {};
    return std::vector<StaticWrite>(state_->completed.begin() + first, state_->completed.end());
}

std::size_t StaticChannelClient::WriteCount() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->made;
}

int StaticChannelClient::WritesNotOpen() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->notOpen;
}

}  // namespace testing_support
