// libkestavstream-client.so: a hostile client for the real stack, built for
// each FreeRDP major (xfreerdp /dvc:kestavstream). It takes the channels
// KstCmd1 and KstDta1 in the module's place and answers as a module does
// ("Hello", the name of its load, any other command unknown) until it is
// sent "Measure": from then on it sends bytes on KstDta1 without end (4000
// every 50 ms, more than one PDU each), and never an answer again.
#include <freerdp/dvc.h>
#include <winpr/stream.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "platform/Names.h"

namespace {

struct Connection {
    IWTSVirtualChannelCallback iface;  // first: FreeRDP hands back its address
    IWTSVirtualChannel* channel;
    bool data;
};

std::mutex lock;
IWTSVirtualChannel* dataChannel = nullptr;  // the newest open KstDta1 connection
std::atomic<bool> streaming{false};

void Send(const std::string& bytes) {
    std::lock_guard<std::mutex> hold(lock);
    if (dataChannel != nullptr)
        dataChannel->Write(dataChannel, ULONG(bytes.size()), reinterpret_cast<const BYTE*>(bytes.data()), nullptr);
}

UINT OnDataReceived(IWTSVirtualChannelCallback* callback, wStream* data) {
    Connection* self = reinterpret_cast<Connection*>(callback);
    if (self->data || streaming) return CHANNEL_RC_OK;
    const std::string command(reinterpret_cast<const char*>(Stream_Pointer(data)), Stream_GetRemainingLength(data));
    if (command == "Hello") {
        Send("OK|Hello");
    } else if (command == "KestavClientDriverInstance") {
        Send("OK|streaming-client");
    } else if (command == "Measure") {
        streaming = true;
        std::thread([] {
            for (;;) {
                Send(std::string(4000, 's'));
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }).detach();  // until the client ends
    } else {
        Send("ERROR|Unknown command \"" + command + "\"");
    }
    return CHANNEL_RC_OK;
}

UINT OnOpen(IWTSVirtualChannelCallback* callback) {
    Connection* self = reinterpret_cast<Connection*>(callback);
    if (self->data) {
        std::lock_guard<std::mutex> hold(lock);
        dataChannel = self->channel;
    }
    return CHANNEL_RC_OK;
}

UINT OnClose(IWTSVirtualChannelCallback* callback) {
    Connection* self = reinterpret_cast<Connection*>(callback);
    {
        std::lock_guard<std::mutex> hold(lock);
        if (dataChannel == self->channel) dataChannel = nullptr;
    }
    delete self;
    return CHANNEL_RC_OK;
}

struct Listener {
    IWTSListenerCallback iface;
    bool data;
};

UINT OnNewChannelConnection(IWTSListenerCallback* listener, IWTSVirtualChannel* channel, BYTE*, BOOL* accept,
                            IWTSVirtualChannelCallback** callback) {
    Connection* created = new (std::nothrow) Connection{};
    if (created == nullptr) return CHANNEL_RC_NO_MEMORY;
    created->iface.OnDataReceived = OnDataReceived;
    created->iface.OnOpen = OnOpen;
    created->iface.OnClose = OnClose;
    created->channel = channel;
    created->data = reinterpret_cast<Listener*>(listener)->data;
    *callback = &created->iface;
    *accept = TRUE;
    return CHANNEL_RC_OK;
}

struct Plugin {
    IWTSPlugin iface;
    Listener listeners[2];
};

UINT Initialize(IWTSPlugin* plugin, IWTSVirtualChannelManager* manager) {
    Plugin* self = reinterpret_cast<Plugin*>(plugin);
    for (const bool data : {false, true}) {
        Listener& listener = self->listeners[data ? 1 : 0];
        listener.iface.OnNewChannelConnection = OnNewChannelConnection;
        listener.data = data;
        const UINT result = manager->CreateListener(manager, data ? names::kDataChannel : names::kCommandChannel, 0,
                                                    &listener.iface, nullptr);
        if (result != CHANNEL_RC_OK) return result;
    }
    return CHANNEL_RC_OK;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) UINT DVCPluginEntry(IDRDYNVC_ENTRY_POINTS* entryPoints) {
    Plugin* plugin = new (std::nothrow) Plugin{};  // kept until the client ends
    if (plugin == nullptr) return CHANNEL_RC_NO_MEMORY;
    plugin->iface.Initialize = Initialize;
    const UINT result = entryPoints->RegisterPlugin(entryPoints, "kestavstream", &plugin->iface);
    if (result != CHANNEL_RC_OK) delete plugin;
    return result;
}
