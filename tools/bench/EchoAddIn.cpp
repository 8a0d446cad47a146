// libkestavecho-client.so: the bare stack's partner for the real-stack
// benchmark, built for each FreeRDP major as the module is. As a dynamic
// channel add-in (xfreerdp /dvc:kestavecho) it sends every message of its
// channel KstEcho straight back; as a static one (/vc:kestavecho), every
// message of the static channel KstEchS, so that each kind of channel is
// compared with its own kind. Both answer from FreeRDP's own callback. What
// the module adds to a round trip is measured against it, on the same stack
// in the same run.
#include <freerdp/dvc.h>
#include <winpr/stream.h>

#include <cstring>
#include <list>
#include <mutex>
#include <new>
#include <string>

#include "svc/StaticChannelApi.h"

namespace {

struct EchoCallback {
    IWTSVirtualChannelCallback iface;
    IWTSVirtualChannel* channel;
};

UINT OnDataReceived(IWTSVirtualChannelCallback* callback, wStream* data) {
    IWTSVirtualChannel* channel = reinterpret_cast<EchoCallback*>(callback)->channel;
    // A BYTE* in winpr 2, a void* in winpr 3.
    return channel->Write(channel, ULONG(Stream_GetRemainingLength(data)), static_cast<const BYTE*>(Stream_Pointer(data)),
                          nullptr);
}

// Set, though it does nothing: FreeRDP 3 writes a warning line for every
// message to a channel without one, which would make the echo no bare stack.
UINT OnOpen(IWTSVirtualChannelCallback*) { return CHANNEL_RC_OK; }

UINT OnClose(IWTSVirtualChannelCallback* callback) {
    delete reinterpret_cast<EchoCallback*>(callback);
    return CHANNEL_RC_OK;
}

UINT OnNewChannelConnection(IWTSListenerCallback*, IWTSVirtualChannel* channel, BYTE*, BOOL* accept,
                            IWTSVirtualChannelCallback** callback) {
    EchoCallback* created = new (std::nothrow) EchoCallback{};
    if (created == nullptr) return CHANNEL_RC_NO_MEMORY;
    created->iface.OnDataReceived = OnDataReceived;
    created->iface.OnOpen = OnOpen;
    created->iface.OnClose = OnClose;
    created->channel = channel;
    *callback = &created->iface;
    *accept = TRUE;
    return CHANNEL_RC_OK;
}

struct Plugin {
    IWTSPlugin iface;
    IWTSListenerCallback listener;
};

UINT Initialize(IWTSPlugin* plugin, IWTSVirtualChannelManager* manager) {
    Plugin* self = reinterpret_cast<Plugin*>(plugin);
    self->listener.OnNewChannelConnection = OnNewChannelConnection;
    return manager->CreateListener(manager, "KstEcho", 0, &self->listener, nullptr);
}

UINT Terminated(IWTSPlugin* plugin) {
    delete reinterpret_cast<Plugin*>(plugin);
    return CHANNEL_RC_OK;
}

// The static echo: one channel, its messages joined from their chunks and
// each written back whole; the client hands every write's bytes back when
// it is done with them.
namespace statics {

namespace api = svc::api;

struct Echo {
    api::EntryPointsEx client{};
    void* initHandle = nullptr;
    std::uint32_t openHandle = 0;
    bool open = false;
    std::string message;
    std::mutex lock;  // the writes in flight: the client's threads hand them back
    std::list<std::string> writes;
};

Echo* echo = nullptr;

void WriteBack(Echo* self, std::string&& message) {
    std::list<std::string>::iterator kept;
    {
        std::lock_guard<std::mutex> guard(self->lock);
        kept = self->writes.insert(self->writes.end(), std::move(message));
    }
    if (self->client.write(self->initHandle, self->openHandle, &(*kept)[0], std::uint32_t(kept->size()), &*kept) ==
        api::kOk)
        return;
    std::lock_guard<std::mutex> guard(self->lock);
    self->writes.erase(kept);
}

void Done(Echo* self, void* userData) {
    std::lock_guard<std::mutex> guard(self->lock);
    for (auto write = self->writes.begin(); write != self->writes.end(); ++write) {
        if (static_cast<void*>(&*write) != userData) continue;
        self->writes.erase(write);
        return;
    }
}

void OpenEvent(void* user, std::uint32_t, std::uint32_t event, void* data, std::uint32_t length, std::uint32_t,
               std::uint32_t flags) {
    Echo* self = static_cast<Echo*>(user);
    if (event == api::kEventWriteComplete || event == api::kEventWriteCancelled) return Done(self, data);
    if (event != api::kEventDataReceived || (flags & (api::kFlagSuspend | api::kFlagResume))) return;
    if (flags & api::kFlagFirst) self->message.clear();
    self->message.append(static_cast<const char*>(data), length);
    if (flags & api::kFlagLast) WriteBack(self, std::move(self->message));
}

void InitEvent(void* user, void*, std::uint32_t event, void*, std::uint32_t) {
    Echo* self = static_cast<Echo*>(user);
    if ((event == api::kEventConnected || event == api::kEventV1Connected) && !self->open) {
        char name[] = "KstEchS";
        self->open = self->client.open(self->initHandle, &self->openHandle, name, OpenEvent) == api::kOk;
    } else if (event == api::kEventDisconnected && self->open) {
        self->client.close(self->initHandle, self->openHandle);
        self->open = false;
    } else if (event == api::kEventTerminated) {
        if (self->open) self->client.close(self->initHandle, self->openHandle);
        echo = nullptr;
        delete self;
    }
}

}  // namespace statics

}  // namespace

extern "C" __attribute__((visibility("default"))) int VirtualChannelEntryEx(svc::api::EntryPointsEx* entryPoints,
                                                                           void* initHandle) {
    namespace api = svc::api;
    if (statics::echo != nullptr || entryPoints == nullptr || entryPoints->size < sizeof(api::EntryPointsEx))
        return 0;
    statics::Echo* self = new (std::nothrow) statics::Echo;
    if (self == nullptr) return 0;
    self->client = *entryPoints;
    self->initHandle = initHandle;
    api::ChannelDef channel{};
    std::memcpy(channel.name, "KstEchS", sizeof "KstEchS");
    channel.options = api::kOptionEncryptRdp | api::kOptionCompressRdp;
    if (self->client.init(self, nullptr, initHandle, &channel, 1, api::kVersionWin2000, statics::InitEvent) !=
        api::kOk) {
        delete self;
        return 0;
    }
    statics::echo = self;
    return 1;
}

extern "C" __attribute__((visibility("default"))) UINT DVCPluginEntry(IDRDYNVC_ENTRY_POINTS* entryPoints) {
    Plugin* plugin = new (std::nothrow) Plugin{};
    if (plugin == nullptr) return CHANNEL_RC_NO_MEMORY;
    plugin->iface.Initialize = Initialize;
    plugin->iface.Terminated = Terminated;
    const UINT result = entryPoints->RegisterPlugin(entryPoints, "kestavecho", &plugin->iface);
    if (result != CHANNEL_RC_OK) delete plugin;
    return result;
}
