#include "tests/support/FreeRdpClient.h"

#include <dlfcn.h>

#include <freerdp/dvc.h>
#include <winpr/stream.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace testing_support {

namespace {

// FreeRDP's drdynvc thread: every channel callback runs here, one at a time.
class CallbackThread {
public:
    CallbackThread() : thread_([this] { Loop(); }) {}
    ~CallbackThread() {
        {
            std::lock_guard<std::mutex> lock(lock_);
            ending_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    // Runs `work` there and waits until it is done.
    void Call(std::function<void()> work) {
        bool done = false;
        {
            std::lock_guard<std::mutex> lock(lock_);
            queue_.push_back([&] {
                work();
                std::lock_guard<std::mutex> finished(lock_);
                done = true;
                wake_.notify_all();
            });
        }
        wake_.notify_all();
        std::unique_lock<std::mutex> lock(lock_);
        wake_.wait(lock, [&] { return done; });
    }

private:
    void Loop() {
        std::unique_lock<std::mutex> lock(lock_);
        for (;;) {
            wake_.wait(lock, [this] { return ending_ || !queue_.empty(); });
            if (queue_.empty()) return;
            std::function<void()> work = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            work();
            lock.lock();
        }
    }
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    bool ending_ = false;
    std::thread thread_;
};

}  // namespace

struct FreeRdpClient::State {
    // The stand-ins FreeRDP hands the add-in: each starts with the interface
    // the add-in sees, so its address is the stand-in's.
    struct EntryPoints {
        IDRDYNVC_ENTRY_POINTS iface;
        State* state;
    };
    struct Manager {
        IWTSVirtualChannelManager iface;
        State* state;
    };
    struct Listener {
        IWTSListener iface;
        std::string name;
        IWTSListenerCallback* callback;
    };
    struct Connection {
        IWTSVirtualChannel iface;
        State* state;
        std::string name;
        IWTSVirtualChannelCallback* callback = nullptr;
        bool closed = false;
    };

    void* library = nullptr;
    EntryPoints entryPoints{};
    Manager manager{};
    IWTSPlugin* plugin = nullptr;
    std::string registeredName;
    bool initialized = false, terminated = false;
    std::uint32_t registrationResult = CHANNEL_RC_OK;
    std::map<std::string, std::uint32_t> listenerResults;
    std::vector<std::unique_ptr<Listener>> listeners;
    std::vector<std::string> listenerNames;
    // Every connection stays here to the end, so that a write after its
    // close is counted, not a use of freed memory.
    std::vector<std::unique_ptr<Connection>> connections;

    mutable std::mutex writeLock;
    std::condition_variable written;
    std::vector<FreeRdpWrite> writes;
    int writesAfterClose = 0;

    CallbackThread drdynvc;

    static UINT RegisterPlugin(IDRDYNVC_ENTRY_POINTS* points, const char* name, IWTSPlugin* plugin) {
        State* self = reinterpret_cast<EntryPoints*>(points)->state;
        if (self->registrationResult != CHANNEL_RC_OK) return self->registrationResult;
        self->plugin = plugin;
        self->registeredName = name != nullptr ? name : "";
        return CHANNEL_RC_OK;
    }
    static IWTSPlugin* GetPlugin(IDRDYNVC_ENTRY_POINTS*, const char*) { return nullptr; }

    static UINT CreateListener(IWTSVirtualChannelManager* manager, const char* name, ULONG flags,
                               IWTSListenerCallback* callback, IWTSListener** listener) {
        State* self = reinterpret_cast<Manager*>(manager)->state;
        const auto failing = self->listenerResults.find(name);
        if (failing != self->listenerResults.end()) return failing->second;
        auto created = std::make_unique<Listener>();
        created->name = name;
        created->callback = callback;
        if (listener != nullptr) *listener = &created->iface;
        self->listenerNames.push_back(std::string(name) + " (flags " + std::to_string(flags) + ")");
        self->listeners.push_back(std::move(created));
        return CHANNEL_RC_OK;
    }

    static UINT Write(IWTSVirtualChannel* channel, ULONG size, const BYTE* bytes, void*) {
        Connection* connection = reinterpret_cast<Connection*>(channel);
        State* self = connection->state;
        std::lock_guard<std::mutex> lock(self->writeLock);
        if (connection->closed) {
            ++self->writesAfterClose;
            return ERROR_INVALID_OPERATION;
        }
        // FreeRDP copies the bytes before Write returns.
        self->writes.push_back({connection->name, std::string(reinterpret_cast<const char*>(bytes), size)});
        self->written.notify_all();
        return CHANNEL_RC_OK;
    }
    static UINT CloseChannel(IWTSVirtualChannel*) { return CHANNEL_RC_OK; }

    Listener* FindListener(const std::string& name) {
        for (auto& listener : listeners)
            if (listener->name == name) return listener.get();
        return nullptr;
    }
    Connection* Newest(const std::string& name) {
        for (auto it = connections.rbegin(); it != connections.rend(); ++it)
            if ((*it)->name == name && !(*it)->closed) return it->get();
        return nullptr;
    }

    bool Connect(const std::string& name, bool open) {
        Listener* listener = FindListener(name);
        if (listener == nullptr) return false;
        auto connection = std::make_unique<Connection>();
        connection->iface.Write = Write;
        connection->iface.Close = CloseChannel;
        connection->state = this;
        connection->name = name;
        Connection* made = connection.get();
        {
            std::lock_guard<std::mutex> lock(writeLock);
            connections.push_back(std::move(connection));
        }
        bool accepted = false;
        drdynvc.Call([&] {
            BOOL accept = FALSE;
            IWTSVirtualChannelCallback* callback = nullptr;
            const UINT result = listener->callback->OnNewChannelConnection(listener->callback, &made->iface,
                                                                           nullptr, &accept, &callback);
            accepted = result == CHANNEL_RC_OK && accept && callback != nullptr;
            made->callback = callback;
            if (accepted && open && callback->OnOpen != nullptr) accepted = callback->OnOpen(callback) == CHANNEL_RC_OK;
        });
        if (!accepted) {
            std::lock_guard<std::mutex> lock(writeLock);
            made->closed = true;
        }
        return accepted;
    }
};

FreeRdpClient::FreeRdpClient() : state_(std::make_unique<State>()) {
    state_->entryPoints.iface.RegisterPlugin = State::RegisterPlugin;
    state_->entryPoints.iface.GetPlugin = State::GetPlugin;
    state_->entryPoints.state = state_.get();
    state_->manager.iface.CreateListener = State::CreateListener;
    state_->manager.state = state_.get();
}

FreeRdpClient::~FreeRdpClient() {
    // As FreeRDP ends: the channels still open are closed, then the plug-in is terminated.
    if (state_->initialized && !state_->terminated) End();
    if (state_->library != nullptr) dlclose(state_->library);
}

void FreeRdpClient::FailRegistration(std::uint32_t code) { state_->registrationResult = code; }

void FreeRdpClient::FailListener(const std::string& name, std::uint32_t code) {
    state_->listenerResults[name] = code;
}

std::uint32_t FreeRdpClient::Load(const std::string& path, std::string* error) {
    state_->library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (state_->library == nullptr) {
        *error = dlerror();
        return 0xFFFFFFFFu;
    }
    const auto entry = reinterpret_cast<PDVC_PLUGIN_ENTRY>(dlsym(state_->library, "DVCPluginEntry"));
    if (entry == nullptr) {
        *error = "no DVCPluginEntry in " + path;
        return 0xFFFFFFFFu;
    }
    return entry(&state_->entryPoints.iface);
}

std::string FreeRdpClient::RegisteredName() const { return state_->registeredName; }

std::uint32_t FreeRdpClient::Initialize() {
    if (state_->plugin == nullptr) return ERROR_INVALID_OPERATION;
    const UINT result = state_->plugin->Initialize(state_->plugin, &state_->manager.iface);
    state_->initialized = true;
    return result;
}

std::vector<std::string> FreeRdpClient::Listeners() const { return state_->listenerNames; }

bool FreeRdpClient::Open(const std::string& name) { return state_->Connect(name, true); }

bool FreeRdpClient::OpenWithoutOnOpen(const std::string& name) { return state_->Connect(name, false); }

void FreeRdpClient::Close(const std::string& name) {
    State::Connection* connection = state_->Newest(name);
    if (connection == nullptr) return;
    state_->drdynvc.Call([connection] { connection->callback->OnClose(connection->callback); });
    std::lock_guard<std::mutex> lock(state_->writeLock);
    connection->closed = true;
}

std::uint32_t FreeRdpClient::Deliver(const std::string& name, const std::string& bytes) {
    State::Connection* connection = state_->Newest(name);
    if (connection == nullptr) return ERROR_NOT_FOUND;
    std::vector<BYTE> buffer(bytes.begin(), bytes.end());
    UINT result = CHANNEL_RC_OK;
    state_->drdynvc.Call([&] {
        wStream* stream = Stream_New(buffer.data(), buffer.size());
        result = connection->callback->OnDataReceived(connection->callback, stream);
        Stream_Free(stream, FALSE);
        // FreeRDP reuses its buffer: the add-in must have copied what it keeps.
        std::memset(buffer.data(), '#', buffer.size());
    });
    return result;
}

std::vector<FreeRdpWrite> FreeRdpClient::Run(const std::string& name, const std::string& command, int maxWaitMs) {
    const std::size_t first = WriteCount();
    Deliver(name, command);
    std::unique_lock<std::mutex> lock(state_->writeLock);
    state_->written.wait_for(lock, std::chrono::milliseconds(maxWaitMs),
                             [&] { return state_->writes.size() > first; });
    return std::vector<FreeRdpWrite>(state_->writes.begin() + std::ptrdiff_t(first), state_->writes.end());
}

std::uint32_t FreeRdpClient::Terminated() {
    state_->terminated = true;
    // FreeRDP frees the add-in's plug-in in Terminated: it is not used again.
    IWTSPlugin* plugin = state_->plugin;
    state_->plugin = nullptr;
    const UINT result = plugin != nullptr && plugin->Terminated != nullptr ? plugin->Terminated(plugin) : CHANNEL_RC_OK;
    std::lock_guard<std::mutex> lock(state_->writeLock);
    for (auto& connection : state_->connections) connection->closed = true;
    return result;
}

std::uint32_t FreeRdpClient::End() {
    std::vector<std::string> open;
    {
        std::lock_guard<std::mutex> lock(state_->writeLock);
        for (auto& connection : state_->connections)
            if (!connection->closed) open.push_back(connection->name);
    }
    for (const std::string& name : open) Close(name);
    return Terminated();
}

void FreeRdpClient::Unload() {
    if (state_->library != nullptr) dlclose(state_->library);
    state_->library = nullptr;
}

std::vector<FreeRdpWrite> FreeRdpClient::WritesSince(std::size_t first) const {
    std::lock_guard<std::mutex> lock(state_->writeLock);
    if (first >= state_->writes.size()) return {};
    return std::vector<FreeRdpWrite>(state_->writes.begin() + std::ptrdiff_t(first), state_->writes.end());
}

std::size_t FreeRdpClient::WriteCount() const {
    std::lock_guard<std::mutex> lock(state_->writeLock);
    return state_->writes.size();
}

int FreeRdpClient::WritesAfterClose() const {
    std::lock_guard<std::mutex> lock(state_->writeLock);
    return state_->writesAfterClose;
}

}  // namespace testing_support
