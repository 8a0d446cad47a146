#include "platform/Session.h"

#include <windows.h>
#include <wtsapi32.h>

namespace platform {

int SessionProtocol() {
    LPSTR buffer = nullptr;
    DWORD size = 0;
    if (!WTSQuerySessionInformationA(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION,
                                     WTSClientProtocolType, &buffer, &size) ||
        buffer == nullptr)
        return -1;
    const int protocol = size >= sizeof(USHORT) ? *reinterpret_cast<USHORT*>(buffer) : -1;
    WTSFreeMemory(buffer);
    return protocol;
}

bool SessionHasClient() {
    WTS_CONNECTSTATE_CLASS* state = nullptr;
    DWORD size = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSConnectState,
                                     reinterpret_cast<LPWSTR*>(&state), &size) ||
        state == nullptr)
        return true;
    const bool disconnected = size >= sizeof *state && *state == WTSDisconnected;
    WTSFreeMemory(state);
    return !disconnected;
}

unsigned SessionNumber() {
    DWORD session = 0;
    return ProcessIdToSessionId(GetCurrentProcessId(), &session) ? session : 0;
}

}  // namespace platform
