#include "relay/VirtualChannelRemoteDesktop.h"

#include "diag/LogFile.h"
#include "diag/Settings.h"
#include "driver/HostProtocol.h"
#include "platform/Names.h"

// A driver in the driver host can answer as long a text as one in-process.
static_assert(relay::rd::kLongestResponse <= driverhost::kLongestText,
              "the host's answer area holds a whole response");

namespace relay::rd {

namespace {
// The most room the response buffers keep between responses.
constexpr std::size_t kKeptRoom = 64 * 1024;
}  // namespace

const char* ChannelName(Channel channel) {
    return channel == Channel::Command ? names::kCommandChannel : names::kDataChannel;
}

VirtualChannelRemoteDesktop::VirtualChannelRemoteDesktop()
    : session([this](const std::string&, const std::string& response) { Keep(response); }, {},
              [this] { Write(); }) {
    diag::LogLine("VirtualChannelRemoteDesktop (", __DATE__, " - ", __TIME__, ")");
}

VirtualChannelRemoteDesktop::~VirtualChannelRemoteDesktop() {
    session.DestroyInstrument();
    diag::LogLine("~VirtualChannelRemoteDesktop");
}

const char* KindName(Kind kind) {
    return kind == Kind::Dynamic ? "DVC" : "SVC";
}

void VirtualChannelRemoteDesktop::Open(Kind kind) {
    diag::LogLine(KindName(kind), ": Plug-in initialized");
    {
        std::lock_guard<platform::Mutex> lock(channelLock);
        open[int(kind)] = true;
    }
    diag::LogSettings();
    // The client's callbacks must never wait: commands always run on the
    // instrument thread here, whatever InstrumentThread says.
    diag::LogDetail("Instrument thread: on");
}

std::uint64_t VirtualChannelRemoteDesktop::ChannelOpened(Channel channel, const Writer& writer, Kind kind) {
    diag::LogLine(KindName(kind), ": Channel \"", ChannelName(channel), "\" connected");
    std::lock_guard<platform::Mutex> lock(channelLock);
    writers[int(kind)][int(channel)] = writer;
    return tokens[int(kind)][int(channel)] = ++lastToken;
}

void VirtualChannelRemoteDesktop::ChannelClosed(Channel channel, std::uint64_t token, Kind kind) {
    {
        std::unique_lock<platform::Mutex> lock(channelLock);
        if (tokens[int(kind)][int(channel)] != token) return;
        writers[int(kind)][int(channel)].clear();
        tokens[int(kind)][int(channel)] = 0;
        WaitForWriter(lock);
    }
    diag::LogLine(KindName(kind), ": Channel \"", ChannelName(channel), "\" closed");
}

void VirtualChannelRemoteDesktop::Arrived(Kind kind) {
    std::lock_guard<platform::Mutex> lock(channelLock);
    newestFrom = kind;
}

void VirtualChannelRemoteDesktop::Receive(Channel channel, const std::string& bytes, Kind kind) {
    diag::LogArrival(KindName(kind), ChannelName(channel), bytes.size(), &bytes);
    Arrived(kind);
    session.Submit(bytes);
}

void VirtualChannelRemoteDesktop::ReceiveTooLong(Channel channel, std::size_t size, Kind kind) {
    diag::LogArrival(KindName(kind), ChannelName(channel), size, nullptr);
    Arrived(kind);
    session.RefuseTooLong(size);
}

void VirtualChannelRemoteDesktop::Keep(const std::string& response) {
    std::lock_guard<platform::Mutex> lock(channelLock);
    // One not yet written is older: only the newest is answered. Copied
    // into a buffer kept from response to response (Write swaps them).
    if (response.size() > kLongestResponse)
        outgoing = relay::ResponseThatFits(response, kLongestResponse,
                                           "a message of at most " + std::to_string(kLongestResponse) + " bytes");
    else
        outgoing.assign(response);
    hasOutgoing = true;
}

void VirtualChannelRemoteDesktop::Write() {
    std::unique_lock<platform::Mutex> lock(channelLock);
    // The thread writing now (this one, re-entered from a client's Write,
    // or another) takes it when its write returns.
    if (writing) return;
    writing = true;
    writer = std::this_thread::get_id();
    while (hasOutgoing) {
        sending.swap(outgoing);
        const std::string& bytes = sending;
        hasOutgoing = false;
        // Back by the kind the command came on; by the other when that one has closed meanwhile.
        Writer chosen;  // a copy: a client may close the channel from inside its Write
        Kind kind = newestFrom;
        Channel channel = Channel::Data;
        for (const Kind each : {newestFrom, newestFrom == Kind::Dynamic ? Kind::Static : Kind::Dynamic}) {
            for (const Channel one : {Channel::Data, Channel::Command}) {
                if (!chosen.empty() || writers[int(each)][int(one)].empty()) continue;
                try {
                    chosen = writers[int(each)][int(one)];
                } catch (...) {
                    continue;  // no memory for the copy
                }
                kind = each;
                channel = one;
            }
        }
        if (chosen.empty()) {
            diag::LogDetail(KindName(newestFrom), ": No channel is open: response dropped (\"", diag::Shown{bytes},
                            "\")");
            continue;
        }
        // The writer stays as it is while inWrite: ChannelClosed and
        // Terminate wait for it (unless they come from inside it).
        inWrite = true;
        lock.unlock();
        bool sent = false;
        try {
            sent = chosen(bytes);
        } catch (...) {
        }
        lock.lock();
        inWrite = false;
        written.notify_all();
        if (sent)
            diag::LogDetail(KindName(kind), ": Response sent on \"", ChannelName(channel), "\" (\"",
                            diag::Shown{bytes}, "\")");
        else
            diag::LogDetail(KindName(kind), ": The client refused the response on \"", ChannelName(channel), "\"");
        // Its room stays for the next, unless a long one made it large.
        if (sending.capacity() > kKeptRoom) std::string().swap(sending);
        else sending.clear();
    }
    writing = false;
}

void VirtualChannelRemoteDesktop::WaitForWriter(std::unique_lock<platform::Mutex>& lock) {
    const std::thread::id self = std::this_thread::get_id();
    written.wait(lock, [&] { return !inWrite || writer == self; });
}

void VirtualChannelRemoteDesktop::Terminate(Kind kind) {
    diag::LogLine(KindName(kind), ": Terminated");
    bool otherOpen = false;
    {
        std::unique_lock<platform::Mutex> lock(channelLock);
        for (Writer& each : writers[int(kind)]) each.clear();
        WaitForWriter(lock);
        tokens[int(kind)][0] = tokens[int(kind)][1] = 0;
        open[int(kind)] = false;
        otherOpen = open[kind == Kind::Dynamic ? int(Kind::Static) : int(Kind::Dynamic)];
    }
    // The other kind's plug-in of the same client still serves the instrument.
    if (otherOpen) return;
    session.StopThenRelease(relay::Session::Release::Driver);
}

namespace {
// Constructed when the plug-in is loaded, destroyed when it is unloaded: one
// per process, as there is one instrument per PC.
VirtualChannelRemoteDesktop theVirtualChannel;
}  // namespace

VirtualChannelRemoteDesktop& GetVirtualChannelRemoteDesktop() {
    return theVirtualChannel;
}

}  // namespace relay::rd
