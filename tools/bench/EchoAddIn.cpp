// libkestavecho-client.so: the bare stack's partner for the real-stack
// benchmark, a FreeRDP dynamic channel add-in (xfreerdp /dvc:kestavecho),
// built for each major as the module is, that sends every message of its
// channel KstEcho straight back, from FreeRDP's own callback. What the module adds to a round trip is measured
// against it, on the same stack in the same run.
#include <freerdp/dvc.h>
#include <winpr/stream.h>

#include <new>

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

}  // namespace

extern "C" __attribute__((visibility("default"))) UINT DVCPluginEntry(IDRDYNVC_ENTRY_POINTS* entryPoints) {
    Plugin* plugin = new (std::nothrow) Plugin{};
    if (plugin == nullptr) return CHANNEL_RC_NO_MEMORY;
    plugin->iface.Initialize = Initialize;
    plugin->iface.Terminated = Terminated;
    const UINT result = entryPoints->RegisterPlugin(entryPoints, "kestavecho", &plugin->iface);
    if (result != CHANNEL_RC_OK) delete plugin;
    return result;
}
