#include "platform/SessionChannel.h"

#include <windows.h>
#include <pchannel.h>
#include <wtsapi32.h>

#include <cstring>
#include <memory>

#include "platform/win32/Handles.h"

#ifndef WTS_CHANNEL_OPTION_DYNAMIC
#define WTS_CHANNEL_OPTION_DYNAMIC 0x00000001
#endif

namespace platform {

const std::size_t kLongestWholeWrite = 0;

struct SessionChannel {
    bool dynamic = true;  // a static channel's reads carry no CHANNEL_PDU_HEADER
    HANDLE channel = nullptr;
    HANDLE file = nullptr;  // the channel's, closed with it
    Handle readEvent;
    OVERLAPPED read{};
    bool reading = false;
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(CHANNEL_PDU_LENGTH);

    ~SessionChannel() {
        if (reading) {
            CancelIo(file);
            DWORD ignored = 0;
            GetOverlappedResult(file, &read, &ignored, TRUE);
        }
        if (channel != nullptr) WTSVirtualChannelClose(channel);
    }
};

namespace {
SessionChannel* OpenChannel(const std::string& name, bool dynamic, std::uint32_t* error) {
    auto opened = std::make_unique<SessionChannel>();
    opened->dynamic = dynamic;
    std::string text = name;
    opened->channel = WTSVirtualChannelOpenEx(WTS_CURRENT_SESSION, &text[0], dynamic ? WTS_CHANNEL_OPTION_DYNAMIC : 0);
    if (opened->channel == nullptr) {
        *error = GetLastError();
        return nullptr;
    }
    void* file = nullptr;
    DWORD size = 0;
    if (!WTSVirtualChannelQuery(opened->channel, WTSVirtualFileHandle, &file, &size) || file == nullptr ||
        size != sizeof(HANDLE)) {
        *error = GetLastError();
        return nullptr;
    }
    std::memcpy(&opened->file, file, sizeof(HANDLE));
    WTSFreeMemory(file);
    opened->readEvent.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (opened->readEvent.value == nullptr) {
        *error = GetLastError();
        return nullptr;
    }
    return opened.release();
}
}  // namespace

SessionChannel* OpenDynamicChannel(const std::string& name, std::uint32_t* error) {
    return OpenChannel(name, true, error);
}

SessionChannel* OpenStaticChannel(const std::string& name, std::uint32_t* error) {
    return OpenChannel(name, false, error);
}

bool ChunkHeaders(const SessionChannel* channel) { return channel->dynamic; }

bool SessionChannelWrite(SessionChannel* channel, const std::string& bytes, std::uint32_t* error) {
    std::string copy = bytes;
    ULONG written = 0;
    if (WTSVirtualChannelWrite(channel->channel, copy.empty() ? nullptr : &copy[0], ULONG(copy.size()),
                               &written) &&
        written == copy.size())
        return true;
    *error = GetLastError();
    return false;
}

ChunkWait SessionChannelRead(SessionChannel* channel, std::uint32_t timeoutMs, std::vector<std::uint8_t>* chunk) {
    if (!channel->reading) {
        channel->read = OVERLAPPED{};
        channel->read.hEvent = channel->readEvent.value;
        ResetEvent(channel->read.hEvent);
        DWORD got = 0;
        if (!ReadFile(channel->file, channel->buffer.data(), DWORD(channel->buffer.size()), &got, &channel->read) &&
            GetLastError() != ERROR_IO_PENDING)
            return ChunkWait::Closed;
        channel->reading = true;
    }
    if (WaitForSingleObject(channel->read.hEvent, timeoutMs) != WAIT_OBJECT_0) return ChunkWait::TimedOut;
    channel->reading = false;
    DWORD got = 0;
    if (!GetOverlappedResult(channel->file, &channel->read, &got, FALSE)) return ChunkWait::Closed;
    chunk->assign(channel->buffer.begin(), channel->buffer.begin() + got);
    return ChunkWait::Done;
}

void CloseSessionChannel(SessionChannel* channel) {
    delete channel;
}

}  // namespace platform
