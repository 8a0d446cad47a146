// The instrument as a static virtual channel plug-in: mstsc and the Windows
// App, Horizon's clients (its VC bridge), FreeRDP (xfreerdp /vc:kestav). The
// client calls VirtualChannelEntryEx (or VirtualChannelEntry), in which the
// plug-in registers KstCmd1 and KstDta1; on each connection it opens them.
// Every event comes on the client's main thread and returns at once: a
// message arrives in chunks, joined here by their flags (a message announced
// longer than any command is answered with its error, nothing of it kept),
// and each whole one goes to the channel object the dynamic plug-ins use,
// which runs it on the instrument thread. A response is written whole from
// that thread (the client's write queues it for its own thread and returns);
// its bytes stay ours until the client's write-complete or write-cancelled
// event hands them back. No exception crosses into the client.
#include <cstring>
#include <list>
#include <mutex>
#include <new>
#include <string>

#include "diag/LogFile.h"
#include "relay/VirtualChannelRemoteDesktop.h"
#include "platform/Lock.h"
#include "relay/ChunkJoiner.h"
#include "relay/Session.h"
#include "svc/StaticChannelApi.h"
#include "svc/StaticPlugin.h"

#if defined(_WIN32)
#define KST_VCEXPORT extern "C" __declspec(dllexport)
#else
#define KST_VCEXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace svc {

namespace {

using relay::rd::Channel;
using relay::rd::GetVirtualChannelRemoteDesktop;
using relay::rd::Kind;

// The client's procedures, of either form.
struct ClientProcedures {
    bool ex = false;
    api::EntryPoints classic{};
    api::EntryPointsEx extended{};
    void* initHandle = nullptr;
};

struct OpenChannel {
    std::uint32_t handle = 0;
    bool open = false;
    std::uint64_t token = 0;
    relay::ChunkJoiner joiner{relay::kLongestCommand};
};

// One per process, as there is one instrument per PC; never destroyed, so
// that an event the client sends after its last one still finds it.
class StaticPlugin {
public:
    bool Entry(const ClientProcedures& procedures, const char** why);
    void InitEvent(void* initHandle, std::uint32_t event);
    void OpenEvent(std::uint32_t handle, std::uint32_t event, void* data, std::uint32_t length,
                   std::uint32_t total, std::uint32_t flags);

private:
    void OpenGetVirtualChannelRemoteDesktop();
    void CloseGetVirtualChannelRemoteDesktop();
    bool Write(std::uint32_t handle, const std::string& bytes);
    void WriteDone(void* userData);

    ClientProcedures client;
    bool entered = false;
    OpenChannel channels[2];

    platform::Mutex writeLock;     // the writes the client holds, between its thread and ours
    std::list<std::string> writes;  // each one's bytes, until the client hands them back
};

// Ends with the library, as the channel object does: a heap object here
// outlived every unload (the client's events end with Terminated, before).
StaticPlugin& ThePlugin() {
    static StaticPlugin plugin;
    return plugin;
}

void KST_VCAPI InitEventClassic(void* initHandle, std::uint32_t event, void*, std::uint32_t) {
    ThePlugin().InitEvent(initHandle, event);
}
void KST_VCAPI InitEventExtended(void*, void* initHandle, std::uint32_t event, void*, std::uint32_t) {
    ThePlugin().InitEvent(initHandle, event);
}
void KST_VCAPI OpenEventClassic(std::uint32_t handle, std::uint32_t event, void* data, std::uint32_t length,
                                std::uint32_t total, std::uint32_t flags) {
    ThePlugin().OpenEvent(handle, event, data, length, total, flags);
}
void KST_VCAPI OpenEventExtended(void*, std::uint32_t handle, std::uint32_t event, void* data, std::uint32_t length,
                                 std::uint32_t total, std::uint32_t flags) {
    ThePlugin().OpenEvent(handle, event, data, length, total, flags);
}

template <typename Body>
void Guarded(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        // Nothing reaches the client; what was lost is the one event.
    }
}

bool StaticPlugin::Entry(const ClientProcedures& procedures, const char** why) {
    if (entered) {
        *why = "the plug-in serves one connection per process";
        return false;
    }
    client = procedures;
    api::ChannelDef defs[2] = {};
    for (const Channel which : {Channel::Command, Channel::Data}) {
        std::strncpy(defs[int(which)].name, relay::rd::ChannelName(which), api::kChannelNameLength);
        defs[int(which)].options = api::kOptionEncryptRdp | api::kOptionCompressRdp;
    }
    std::uint32_t result = 0;
    if (client.ex) {
        result = client.extended.init(this, nullptr, client.initHandle, defs, 2, api::kVersionWin2000,
                                      InitEventExtended);
    } else {
        void* handle = nullptr;
        result = client.classic.init(&handle, defs, 2, api::kVersionWin2000, InitEventClassic);
        client.initHandle = handle;
    }
    if (result != api::kOk) {
        diag::LogDetail("SVC: The client refused the channels KstCmd1 and KstDta1 (result ", result, ")");
        *why = "the client refused the channels";
        return false;
    }
    entered = true;
    GetVirtualChannelRemoteDesktop().Open(Kind::Static);
    diag::LogDetail("SVC: Channels \"", relay::rd::ChannelName(Channel::Command), "\" and \"",
                    relay::rd::ChannelName(Channel::Data), "\" registered (", client.ex ? "VirtualChannelEntryEx" :
                    "VirtualChannelEntry", ")");
    return true;
}

void StaticPlugin::InitEvent(void* initHandle, std::uint32_t event) {
    if (!entered || initHandle != client.initHandle) return;
    Guarded([&] {
        switch (event) {
        case api::kEventConnected:
        case api::kEventV1Connected:
            diag::LogLine("SVC: Connected");
            OpenGetVirtualChannelRemoteDesktop();
            break;
        case api::kEventDisconnected:
            diag::LogLine("SVC: Disconnected");
            CloseGetVirtualChannelRemoteDesktop();
            break;
        case api::kEventTerminated:
            CloseGetVirtualChannelRemoteDesktop();
            GetVirtualChannelRemoteDesktop().Terminate(Kind::Static);
            entered = false;
            break;
        default:
            break;
        }
    });
}

void StaticPlugin::OpenGetVirtualChannelRemoteDesktop() {
    for (const Channel which : {Channel::Command, Channel::Data}) {
        OpenChannel& channel = channels[int(which)];
        if (channel.open) continue;
        std::string name = relay::rd::ChannelName(which);
        std::uint32_t handle = 0;
        const std::uint32_t result = client.ex
                                         ? client.extended.open(client.initHandle, &handle, &name[0], OpenEventExtended)
                                         : client.classic.open(client.initHandle, &handle, &name[0], OpenEventClassic);
        if (result != api::kOk) {
            diag::LogDetail("SVC: Channel \"", name, "\" cannot be opened (result ", result, ")");
            continue;
        }
        channel.handle = handle;
        channel.open = true;
        channel.joiner.Reset();
        channel.token = GetVirtualChannelRemoteDesktop().ChannelOpened(
            which, [this, handle](const std::string& bytes) { return Write(handle, bytes); }, Kind::Static);
    }
}

// At the end of a connection: the writers go first, then the client's
// channels are closed, so that a reconnection opens them afresh.
void StaticPlugin::CloseGetVirtualChannelRemoteDesktop() {
    for (const Channel which : {Channel::Command, Channel::Data}) {
        OpenChannel& channel = channels[int(which)];
        if (!channel.open) continue;
        GetVirtualChannelRemoteDesktop().ChannelClosed(which, channel.token, Kind::Static);
        if (client.ex) (void)client.extended.close(client.initHandle, channel.handle);
        else (void)client.classic.close(channel.handle);
        channel.open = false;
        channel.joiner.Reset();
    }
}

void StaticPlugin::OpenEvent(std::uint32_t handle, std::uint32_t event, void* data, std::uint32_t length,
                             std::uint32_t total, std::uint32_t flags) {
    Guarded([&] {
        if (event == api::kEventWriteComplete || event == api::kEventWriteCancelled) return WriteDone(data);
        if (event != api::kEventDataReceived || !entered) return;
        if (flags & (api::kFlagSuspend | api::kFlagResume)) return;
        for (const Channel which : {Channel::Command, Channel::Data}) {
            OpenChannel& channel = channels[int(which)];
            if (!channel.open || channel.handle != handle) continue;
            std::string message, problem;
            switch (channel.joiner.Feed(flags & (api::kFlagFirst | api::kFlagLast), total,
                                        static_cast<const std::uint8_t*>(data), length, &message, &problem)) {
            case relay::ChunkJoiner::Result::NeedMore:
                return;
            case relay::ChunkJoiner::Result::Message:
                return GetVirtualChannelRemoteDesktop().Receive(which, message, Kind::Static);
            case relay::ChunkJoiner::Result::TooLong:
                return GetVirtualChannelRemoteDesktop().ReceiveTooLong(which, channel.joiner.Announced(),
                                                                       Kind::Static);
            case relay::ChunkJoiner::Result::Dropped:
                diag::LogDetail("SVC: Chunks dropped on \"", relay::rd::ChannelName(which), "\": ", problem);
                return;
            }
        }
    });
}

// On the thread that writes responses, with no lock of the channel object held.
bool StaticPlugin::Write(std::uint32_t handle, const std::string& bytes) {
    if (bytes.empty()) return false;
    std::list<std::string>::iterator kept;
    {
        std::lock_guard<platform::Mutex> lock(writeLock);
        if (writes.size() >= kMostPendingWrites) {
            diag::LogDetail("SVC: The client holds ", writes.size(), " writes not yet sent: response dropped");
            return false;
        }
        kept = writes.insert(writes.end(), bytes);
    }
    void* data = &(*kept)[0];
    const std::uint32_t result =
        client.ex ? client.extended.write(client.initHandle, handle, data, std::uint32_t(bytes.size()), &*kept)
                  : client.classic.write(handle, data, std::uint32_t(bytes.size()), &*kept);
    if (result == api::kOk) return true;
    diag::LogDetail("SVC: Write refused (result ", result, ")");
    WriteDone(&*kept);
    return false;
}

// The client hands back a write's bytes: only ours are freed, by address,
// never read through a pointer the client made up.
void StaticPlugin::WriteDone(void* userData) {
    std::lock_guard<platform::Mutex> lock(writeLock);
    for (auto write = writes.begin(); write != writes.end(); ++write) {
        if (static_cast<void*>(&*write) != userData) continue;
        writes.erase(write);
        return;
    }
}

// The entry points' common end: 1 when the plug-in takes part, else 0 and why, logged.
int Enter(const ClientProcedures& procedures) {
    const char* why = "";
    if (ThePlugin().Entry(procedures, &why)) return 1;
    diag::LogDetail("SVC: Not used: ", why);
    return 0;
}

}  // namespace

}  // namespace svc

// The client's entry points for a static channel plug-in, by these names
// (undecorated on 32-bit Windows too). FALSE: the plug-in is not used.
KST_VCEXPORT int KST_VCAPI VirtualChannelEntryEx(svc::api::EntryPointsEx* entryPoints, void* initHandle) {
    try {
        if (entryPoints == nullptr || entryPoints->size < sizeof(svc::api::EntryPointsEx) ||
            entryPoints->init == nullptr || entryPoints->open == nullptr || entryPoints->close == nullptr ||
            entryPoints->write == nullptr || initHandle == nullptr)
            return 0;
        svc::ClientProcedures procedures;
        procedures.ex = true;
        procedures.extended = *entryPoints;
        procedures.initHandle = initHandle;
        return svc::Enter(procedures);
    } catch (...) {
        return 0;
    }
}

KST_VCEXPORT int KST_VCAPI VirtualChannelEntry(svc::api::EntryPoints* entryPoints) {
    try {
        if (entryPoints == nullptr || entryPoints->size < sizeof(svc::api::EntryPoints) ||
            entryPoints->init == nullptr || entryPoints->open == nullptr || entryPoints->close == nullptr ||
            entryPoints->write == nullptr)
            return 0;
        svc::ClientProcedures procedures;
        procedures.classic = *entryPoints;
        return svc::Enter(procedures);
    } catch (...) {
        return 0;
    }
}
