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

struct SessionClaim {
    HANDLE event;
};

SessionClaim* ClaimInSession(const std::string& name, Claim* result) {
    // Its existence is the claim: made at once or found, never waited for.
    const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, ("Local\\" + name).c_str());
    if (event == nullptr) {
        *result = GetLastError() == ERROR_ACCESS_DENIED ? Claim::Taken : Claim::Unavailable;
        return nullptr;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(event);
        *result = Claim::Taken;
        return nullptr;
    }
    *result = Claim::Made;
    return new SessionClaim{event};
}

void ReleaseClaim(SessionClaim* claim) {
    if (claim == nullptr) return;
    CloseHandle(claim->event);
    delete claim;
}

}  // namespace platform
