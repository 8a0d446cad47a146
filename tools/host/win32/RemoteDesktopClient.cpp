#include "tools/host/RemoteDesktopClient.h"

#include <windows.h>
#include <tsvirtualchannels.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "dvc/Unknown.h"
#include "platform/CallingConvention.h"
#include "platform/Library.h"

namespace standin {

namespace {

using GetInstanceProc = HRESULT(KST_STDCALL*)(REFIID, ULONG*, VOID**);

// A host object handed to the plug-in: counted, owned by the host (never
// deleted by a Release), so that what the plug-in still holds can be seen.
template <typename Interface>
class HostObject : public dvc::SingleInterface<Interface> {
public:
    ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(++references_); }
    ULONG STDMETHODCALLTYPE Release() override { return ULONG(--references_); }
    long Extra() const { return references_ - 1; }

private:
    std::atomic<long> references_{1};
};

class HostListener final : public HostObject<IWTSListener> {
public:
    HRESULT STDMETHODCALLTYPE GetConfiguration(IPropertyBag** bag) override {
        if (bag != nullptr) *bag = nullptr;
        return E_NOTIMPL;
    }
};

}  // namespace

struct RemoteDesktopClient::State {
    // One channel connection, as the client sees it.
    struct HostChannel final : public HostObject<IWTSVirtualChannel> {
        State* state = nullptr;
        std::string name;
        std::atomic<bool> closed{false};
        IWTSVirtualChannelCallback* callback = nullptr;  // the plug-in's, ours to release

        // Copies the bytes, as the client's Write does, and returns at once.
        HRESULT STDMETHODCALLTYPE Write(ULONG size, BYTE* buffer, IUnknown*) override {
            std::lock_guard<std::mutex> lock(state->sentLock);
            if (closed) {
                ++state->writesAfterClose;
                return E_UNEXPECTED;
            }
            state->sent.push_back({name, std::string(reinterpret_cast<const char*>(buffer), size)});
            state->sentArrived.notify_all();
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE Close() override {
            closed = true;
            return S_OK;
        }
    };

    struct HostManager final : public HostObject<IWTSVirtualChannelManager> {
        State* state = nullptr;
        HRESULT STDMETHODCALLTYPE CreateListener(const char* name, ULONG, IWTSListenerCallback* callback,
                                                 IWTSListener** listener) override {
            if (name == nullptr || callback == nullptr) return E_INVALIDARG;
            callback->AddRef();
            std::lock_guard<std::mutex> lock(state->lock);
            IWTSListenerCallback*& held = state->listenerCallbacks[name];
            if (held != nullptr) held->Release();
            held = callback;
            auto& own = state->listeners[name];
            if (!own) own = std::make_unique<HostListener>();
            if (listener != nullptr) {
                own->AddRef();
                *listener = own.get();
            }
            return S_OK;
        }
    };

    // One thread per channel, as a client may call each channel's callback
    // on a thread of its own.
    struct Deliverer {
        std::thread thread;
        std::mutex lock;
        std::condition_variable wake;
        std::deque<std::function<void()>> jobs;
        bool stopping = false;
        ~Deliverer() {
            {
                std::lock_guard<std::mutex> guard(lock);
                stopping = true;
                wake.notify_all();
            }
            if (thread.joinable()) thread.join();
        }
        void Run(std::function<void()> job) {
            std::mutex doneLock;
            std::condition_variable doneWake;
            bool done = false;
            {
                std::lock_guard<std::mutex> guard(lock);
                jobs.push_back([&] {
                    job();
                    std::lock_guard<std::mutex> d(doneLock);
                    done = true;
                    doneWake.notify_all();
                });
                wake.notify_all();
            }
            std::unique_lock<std::mutex> d(doneLock);
            doneWake.wait(d, [&] { return done; });
        }
        void Start() {
            thread = std::thread([this] {
                for (;;) {
                    std::function<void()> job;
                    {
                        std::unique_lock<std::mutex> guard(lock);
                        wake.wait(guard, [this] { return stopping || !jobs.empty(); });
                        if (jobs.empty()) return;
                        job = std::move(jobs.front());
                        jobs.pop_front();
                    }
                    job();
                }
            });
        }
    };

    platform::LibraryHandle library = nullptr;
    GetInstanceProc getInstance = nullptr;
    IWTSPlugin* plugin = nullptr;
    HostManager manager;
    std::mutex lock;
    std::map<std::string, IWTSListenerCallback*> listenerCallbacks;
    std::map<std::string, std::unique_ptr<HostListener>> listeners;
    std::map<std::string, std::unique_ptr<HostChannel>> channels;  // the newest open one per name
    // Opened again before closing: still open for the plug-in, oldest first.
    std::map<std::string, std::deque<std::unique_ptr<HostChannel>>> replaced;
    std::vector<std::unique_ptr<HostChannel>> closedChannels;      // kept to see their references
    std::map<std::string, std::unique_ptr<Deliverer>> deliverers;

    std::mutex sentLock;
    std::condition_variable sentArrived;
    std::vector<DvcMessage> sent;
    int writesAfterClose = 0;

    // The plug-in's OnClose for a connection the host has let go.
    void Close(std::unique_ptr<HostChannel> channel) {
        // Closed for writing first: a write from here on is one after close.
        channel->closed = true;
        if (channel->callback != nullptr) {
            channel->callback->OnClose();
            channel->callback->Release();
            channel->callback = nullptr;
        }
        std::lock_guard<std::mutex> guard(lock);
        closedChannels.push_back(std::move(channel));
    }

    Deliverer& DelivererFor(const std::string& name) {
        std::lock_guard<std::mutex> guard(lock);
        auto& deliverer = deliverers[name];
        if (!deliverer) {
            deliverer = std::make_unique<Deliverer>();
            deliverer->Start();
        }
        return *deliverer;
    }
};

RemoteDesktopClient::RemoteDesktopClient() : state_(new State) {
    state_->manager.state = state_.get();
}

RemoteDesktopClient::~RemoteDesktopClient() {
    Terminate();
    state_->deliverers.clear();
    Unload();
}

bool RemoteDesktopClient::LoadPlugin(const std::string& path, std::string* error) {
    state_->library = platform::OpenLibrary(path);
    if (state_->library == nullptr) {
        *error = "cannot load the plug-in \"" + path + "\" (error " +
                 std::to_string(platform::LastLibraryError()) + ")";
        return false;
    }
    state_->getInstance = reinterpret_cast<GetInstanceProc>(
        reinterpret_cast<std::uintptr_t>(platform::FindSymbol(state_->library, "VirtualChannelGetInstance")));
    if (state_->getInstance == nullptr) {
        *error = "the plug-in \"" + path + "\" has no VirtualChannelGetInstance export";
        return false;
    }
    // As a client does: how many objects, then the objects.
    ULONG count = 0;
    HRESULT result = state_->getInstance(IID_IWTSPlugin, &count, nullptr);
    if (FAILED(result) || count < 1) {
        *error = "VirtualChannelGetInstance did not count its objects";
        return false;
    }
    std::vector<VOID*> objects(count, nullptr);
    result = state_->getInstance(IID_IWTSPlugin, &count, objects.data());
    if (FAILED(result) || objects[0] == nullptr) {
        *error = "VirtualChannelGetInstance gave no plug-in object";
        return false;
    }
    state_->plugin = static_cast<IWTSPlugin*>(objects[0]);
    for (ULONG i = 1; i < count; ++i)
        if (objects[i] != nullptr) static_cast<IWTSPlugin*>(objects[i])->Release();
    result = state_->plugin->Initialize(&state_->manager);
    if (FAILED(result)) {
        *error = "the plug-in's Initialize failed (" + std::to_string(long(result)) + ")";
        return false;
    }
    return true;
}

std::int32_t RemoteDesktopClient::CountOnlyResult(std::uint32_t* count) {
    ULONG objects = 99;
    const HRESULT result = state_->getInstance(IID_IWTSPlugin, &objects, nullptr);
    *count = objects;
    return result;
}

std::int32_t RemoteDesktopClient::WrongInterfaceResult() {
    ULONG count = 1;
    VOID* object = nullptr;
    const HRESULT result = state_->getInstance(IID_IWTSListener, &count, &object);
    if (SUCCEEDED(result) && object != nullptr) static_cast<IUnknown*>(object)->Release();
    return result;
}

void RemoteDesktopClient::Connected() {
    if (state_->plugin != nullptr) state_->plugin->Connected();
}

void RemoteDesktopClient::Disconnected(std::uint32_t code) {
    if (state_->plugin != nullptr) state_->plugin->Disconnected(code);
}

bool RemoteDesktopClient::OpenChannel(const std::string& name) {
    IWTSListenerCallback* listener = nullptr;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        const auto found = state_->listenerCallbacks.find(name);
        if (found == state_->listenerCallbacks.end()) return false;
        listener = found->second;
    }
    auto channel = std::make_unique<State::HostChannel>();
    channel->state = state_.get();
    channel->name = name;
    WINBOOL accept = FALSE;
    IWTSVirtualChannelCallback* callback = nullptr;
    const HRESULT result = listener->OnNewChannelConnection(channel.get(), nullptr, &accept, &callback);
    if (FAILED(result) || !accept || callback == nullptr) {
        if (callback != nullptr) callback->Release();
        state_->closedChannels.push_back(std::move(channel));
        return false;
    }
    channel->callback = callback;
    std::lock_guard<std::mutex> guard(state_->lock);
    auto& open = state_->channels[name];
    if (open) state_->replaced[name].push_back(std::move(open));
    open = std::move(channel);
    return true;
}

void RemoteDesktopClient::CloseChannel(const std::string& name) {
    std::unique_ptr<State::HostChannel> channel;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        const auto found = state_->channels.find(name);
        if (found == state_->channels.end() || !found->second) return;
        channel = std::move(found->second);
        state_->channels.erase(found);
    }
    state_->Close(std::move(channel));
}

bool RemoteDesktopClient::CloseEarlierChannel(const std::string& name) {
    std::unique_ptr<State::HostChannel> channel;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        auto& earlier = state_->replaced[name];
        if (earlier.empty()) return false;
        channel = std::move(earlier.front());
        earlier.pop_front();
    }
    state_->Close(std::move(channel));
    return true;
}


bool RemoteDesktopClient::Deliver(const std::string& name, const std::string& bytes) {
    IWTSVirtualChannelCallback* callback = nullptr;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        const auto found = state_->channels.find(name);
        if (found == state_->channels.end() || !found->second) return false;
        callback = found->second->callback;
    }
    const auto start = std::chrono::steady_clock::now();
    state_->DelivererFor(name).Run([&] {
        // The client's buffer is valid during the call only: overwritten
        // as soon as it returns, so that a plug-in that kept it reads junk.
        std::vector<BYTE> buffer(bytes.begin(), bytes.end());
        callback->OnDataReceived(ULONG(buffer.size()), buffer.empty() ? nullptr : buffer.data());
        std::memset(buffer.data(), 0xDD, buffer.size());
    });
    lastDeliveryMicroseconds =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    return true;
}

std::vector<DvcMessage> RemoteDesktopClient::Run(const std::string& name, const std::string& command, int maxWaitMs) {
    const std::size_t before = SentCount();
    if (!Deliver(name, command)) return {};
    std::unique_lock<std::mutex> lock(state_->sentLock);
    state_->sentArrived.wait_for(lock, std::chrono::milliseconds(maxWaitMs),
                                 [&] { return state_->sent.size() > before; });
    return std::vector<DvcMessage>(state_->sent.begin() + std::ptrdiff_t(before), state_->sent.end());
}

void RemoteDesktopClient::Terminated() {
    if (state_->plugin != nullptr) state_->plugin->Terminated();
}

void RemoteDesktopClient::Terminate() {
    if (state_->plugin == nullptr) return;
    state_->plugin->Terminated();
    std::vector<std::string> open, earlier;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        for (const auto& channel : state_->channels) open.push_back(channel.first);
        for (const auto& replaced : state_->replaced)
            earlier.insert(earlier.end(), replaced.second.size(), replaced.first);
    }
    for (const std::string& name : earlier) CloseEarlierChannel(name);
    for (const std::string& name : open) CloseChannel(name);
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        for (auto& listener : state_->listenerCallbacks) listener.second->Release();
        state_->listenerCallbacks.clear();
    }
    state_->plugin->Release();
    state_->plugin = nullptr;
}

void RemoteDesktopClient::Unload() {
    if (state_->library != nullptr) platform::CloseLibrary(state_->library);
    state_->library = nullptr;
}

std::size_t RemoteDesktopClient::SentCount() {
    std::lock_guard<std::mutex> lock(state_->sentLock);
    return state_->sent.size();
}

std::vector<DvcMessage> RemoteDesktopClient::SentSince(std::size_t first) {
    std::lock_guard<std::mutex> lock(state_->sentLock);
    if (first >= state_->sent.size()) return {};
    return std::vector<DvcMessage>(state_->sent.begin() + std::ptrdiff_t(first), state_->sent.end());
}

int RemoteDesktopClient::WritesAfterClose() {
    std::lock_guard<std::mutex> lock(state_->sentLock);
    return state_->writesAfterClose;
}

long RemoteDesktopClient::OutstandingReferences() {
    std::lock_guard<std::mutex> guard(state_->lock);
    long extra = state_->manager.Extra();
    for (const auto& listener : state_->listeners) extra += listener.second->Extra();
    for (const auto& channel : state_->channels) extra += channel.second->Extra();
    for (const auto& channel : state_->closedChannels) extra += channel->Extra();
    for (const auto& earlier : state_->replaced)
        for (const auto& channel : earlier.second) extra += channel->Extra();
    return extra;
}

}  // namespace standin
