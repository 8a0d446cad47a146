// libkestav-client.so: the instrument for Linux thin clients, as a FreeRDP
// dynamic channel add-in (xfreerdp /dvc:kestav, xfreerdp3 /dvc:kestav), built
// once for each major from this one source against that major's headers.
// FreeRDP calls DVCPluginEntry when it loads the add-in, and Initialize and
// (FreeRDP 3) Terminated on the client's main thread; the channel callbacks
// come on its drdynvc thread. It never calls Connected or Disconnected, so
// nothing here waits for them. The plug-in listens for the dynamic channels
// KstCmd1 and KstDta1 and hands each message to VirtualChannelRemoteDesktop, the same
// object the Windows plug-in serves, which runs it on the instrument thread
// and answers through the channel's Write (FreeRDP copies the bytes and
// queues them for its own thread). FreeRDP's callbacks never wait for an
// instrument, and no exception crosses into FreeRDP.
#include <freerdp/dvc.h>
#include <freerdp/version.h>
#include <winpr/stream.h>

#include <cstdint>
#include <new>
#include <string>

#include "diag/LogFile.h"
#include "relay/VirtualChannelRemoteDesktop.h"

// FreeRDP 3's callback structures are larger than 2's (an interface pointer
// where ours would follow): an add-in built with the other major's headers
// would hand FreeRDP structures of the wrong size.
static_assert(FREERDP_VERSION_MAJOR == KST_FREERDP_MAJOR, "built with the headers of the major it is for");

namespace {

using relay::rd::Channel;
using relay::rd::GetVirtualChannelRemoteDesktop;
using relay::rd::Kind;

// Runs a body FreeRDP calls: an exception becomes an error code.
template <typename Body>
UINT Guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return CHANNEL_RC_NO_MEMORY;
    } catch (...) {
        return ERROR_INTERNAL_ERROR;
    }
}

// One connection of one channel. FreeRDP owns the channel; the callback is
// ours, freed when FreeRDP closes the channel.
struct ChannelCallback {
    IWTSVirtualChannelCallback iface;  // first: FreeRDP hands back its address
    IWTSVirtualChannel* channel;
    Channel which;
    std::uint64_t token;
    bool open;
};

ChannelCallback* Of(IWTSVirtualChannelCallback* callback) {
    return reinterpret_cast<ChannelCallback*>(callback);
}

UINT OnOpen(IWTSVirtualChannelCallback* callback) {
    ChannelCallback* self = Of(callback);
    return Guarded([self] {
        IWTSVirtualChannel* channel = self->channel;
        self->token = GetVirtualChannelRemoteDesktop().ChannelOpened(
            self->which,
            [channel](const std::string& bytes) {
                return channel->Write(channel, ULONG(bytes.size()), reinterpret_cast<const BYTE*>(bytes.data()),
                                      nullptr) == CHANNEL_RC_OK;
            },
            Kind::Dynamic);
        self->open = true;
        return UINT(CHANNEL_RC_OK);
    });
}

// The stream is FreeRDP's for this call only: copied here.
UINT OnDataReceived(IWTSVirtualChannelCallback* callback, wStream* data) {
    ChannelCallback* self = Of(callback);
    if (data == nullptr) return ERROR_INVALID_PARAMETER;
    return Guarded([self, data] {
        const char* bytes = reinterpret_cast<const char*>(Stream_Pointer(data));
        GetVirtualChannelRemoteDesktop().Receive(self->which, std::string(bytes, Stream_GetRemainingLength(data)),
                                                 Kind::Dynamic);
        return UINT(CHANNEL_RC_OK);
    });
}

UINT OnClose(IWTSVirtualChannelCallback* callback) {
    ChannelCallback* self = Of(callback);
    const UINT result = Guarded([self] {
        // No write reaches the channel after this.
        if (self->open) GetVirtualChannelRemoteDesktop().ChannelClosed(self->which, self->token, Kind::Dynamic);
        return UINT(CHANNEL_RC_OK);
    });
    delete self;
    return result;
}

struct ListenerCallback {
    IWTSListenerCallback iface;
    Channel which;
};

UINT OnNewChannelConnection(IWTSListenerCallback* listener, IWTSVirtualChannel* channel, BYTE*, BOOL* accept,
                            IWTSVirtualChannelCallback** callback) {
    if (listener == nullptr || channel == nullptr || accept == nullptr || callback == nullptr)
        return ERROR_INVALID_PARAMETER;
    ChannelCallback* created = new (std::nothrow) ChannelCallback{};
    if (created == nullptr) return CHANNEL_RC_NO_MEMORY;
    created->iface.OnDataReceived = OnDataReceived;
    created->iface.OnOpen = OnOpen;
    created->iface.OnClose = OnClose;
    created->channel = channel;
    created->which = reinterpret_cast<ListenerCallback*>(listener)->which;
    *callback = &created->iface;
    *accept = TRUE;
    return CHANNEL_RC_OK;
}

struct Plugin {
    IWTSPlugin iface;
    ListenerCallback listeners[2];
};

UINT Initialize(IWTSPlugin* plugin, IWTSVirtualChannelManager* manager) {
    if (plugin == nullptr || manager == nullptr) return ERROR_INVALID_PARAMETER;
    Plugin* self = reinterpret_cast<Plugin*>(plugin);
    return Guarded([self, manager] {
        GetVirtualChannelRemoteDesktop().Open(Kind::Dynamic);
        diag::LogDetail("DVC: FreeRDP ", KST_FREERDP_MAJOR, " add-in (built with FreeRDP ", FREERDP_VERSION_FULL, ")");
        for (const Channel which : {Channel::Command, Channel::Data}) {
            ListenerCallback& callback = self->listeners[int(which)];
            callback.iface.OnNewChannelConnection = OnNewChannelConnection;
            callback.which = which;
            IWTSListener* listener = nullptr;
            const UINT result =
                manager->CreateListener(manager, relay::rd::ChannelName(which), 0, &callback.iface, &listener);
            if (result != CHANNEL_RC_OK) {
                diag::LogDetail("DVC: No listener for \"", relay::rd::ChannelName(which), "\" (result ", result, ")");
                return result;
            }
            diag::LogDetail("DVC: Listening on \"", relay::rd::ChannelName(which), "\"");
        }
        return UINT(CHANNEL_RC_OK);
    });
}

UINT Connected(IWTSPlugin*) {
    return Guarded([] {
        diag::LogLine("DVC: Connected");
        return UINT(CHANNEL_RC_OK);
    });
}

UINT Disconnected(IWTSPlugin*, DWORD code) {
    return Guarded([code] {
        diag::LogLine("DVC: Disconnected (", std::to_string(code), ")");
        return UINT(CHANNEL_RC_OK);
    });
}

// FreeRDP's last call: the instrument stops, and the plug-in is freed.
UINT Terminated(IWTSPlugin* plugin) {
    const UINT result = Guarded([] {
        GetVirtualChannelRemoteDesktop().Terminate(Kind::Dynamic);
        return UINT(CHANNEL_RC_OK);
    });
    delete reinterpret_cast<Plugin*>(plugin);
    return result;
}

}  // namespace

// FreeRDP's entry point for a dynamic channel add-in, by this name.
extern "C" __attribute__((visibility("default"))) UINT DVCPluginEntry(IDRDYNVC_ENTRY_POINTS* entryPoints) {
    if (entryPoints == nullptr) return ERROR_INVALID_PARAMETER;
    Plugin* plugin = new (std::nothrow) Plugin{};
    if (plugin == nullptr) return CHANNEL_RC_NO_MEMORY;
    plugin->iface.Initialize = Initialize;
    plugin->iface.Connected = Connected;
    plugin->iface.Disconnected = Disconnected;
    plugin->iface.Terminated = Terminated;
    const UINT result = entryPoints->RegisterPlugin(entryPoints, "kestav", &plugin->iface);
    if (result != CHANNEL_RC_OK) delete plugin;
    return result;
}
