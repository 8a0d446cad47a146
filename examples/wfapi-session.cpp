// A server-side application as an instrument vendor writes it: plain Citrix
// WFAPI calls, nothing of Kestav's but the protocol. It opens both channels,
// runs a measuring session and prints the spectrum.
//
// WFAPI is loaded as a program on a Citrix server should load it: by its
// full path in the system folder (wfapi.dll for 32-bit programs, wfapi64.dll
// for 64-bit ones), never by a bare name that the current folder could
// answer. So it runs unchanged in a Citrix session, and on a developer's PC
// where the developer kit put the stand-in WFAPI into the system folder,
// with kestav-host --listen running.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// From the Citrix WFAPI SDK's wfapi.h.
#define WF_CURRENT_SERVER_HANDLE ((HANDLE)NULL)
#define WF_CURRENT_SESSION ((DWORD)-1)
using OpenProc = HANDLE(WINAPI*)(HANDLE hServer, DWORD SessionId, LPSTR pVirtualName);
using CloseProc = BOOL(WINAPI*)(HANDLE hChannelHandle);
using ReadProc = BOOL(WINAPI*)(HANDLE hChannelHandle, ULONG TimeOut, PCHAR Buffer, ULONG BufferSize,
                               PULONG pBytesRead);
using WriteProc = BOOL(WINAPI*)(HANDLE hChannelHandle, PCHAR Buffer, ULONG Length, PULONG pBytesWritten);
using PurgeProc = BOOL(WINAPI*)(HANDLE hChannelHandle);

namespace {

OpenProc WFVirtualChannelOpen;
CloseProc WFVirtualChannelClose;
ReadProc WFVirtualChannelRead;
WriteProc WFVirtualChannelWrite;
PurgeProc WFVirtualChannelPurgeInput;

template <typename Proc>
Proc Find(HMODULE library, const char* name) {
    return reinterpret_cast<Proc>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

// WFAPI from the system folder, by full path; false (with the reason printed) where it is not there.
bool LoadWfapi() {
    char folder[MAX_PATH];
    const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    const std::string path = std::string(folder) + (sizeof(void*) == 8 ? "\\wfapi64.dll" : "\\wfapi.dll");
    const HMODULE library = LoadLibraryA(path.c_str());
    if (library == nullptr) {
        std::printf("cannot load %s (error %lu): not a Citrix server, and no developer kit installed\n",
                    path.c_str(), GetLastError());
        return false;
    }
    WFVirtualChannelOpen = Find<OpenProc>(library, "WFVirtualChannelOpen");
    WFVirtualChannelClose = Find<CloseProc>(library, "WFVirtualChannelClose");
    WFVirtualChannelRead = Find<ReadProc>(library, "WFVirtualChannelRead");
    WFVirtualChannelWrite = Find<WriteProc>(library, "WFVirtualChannelWrite");
    WFVirtualChannelPurgeInput = Find<PurgeProc>(library, "WFVirtualChannelPurgeInput");
    return WFVirtualChannelOpen && WFVirtualChannelClose && WFVirtualChannelRead && WFVirtualChannelWrite &&
           WFVirtualChannelPurgeInput;
}

HANDLE command = nullptr, data = nullptr;

// One command, one response: written into KstCmd1, read from KstDta1.
std::string Call(const std::string& text, ULONG timeoutMs) {
    WFVirtualChannelPurgeInput(data);  // nothing old is taken for this command's answer
    ULONG written = 0;
    std::string bytes = text;
    if (!WFVirtualChannelWrite(command, &bytes[0], ULONG(bytes.size()), &written)) {
        std::printf("write failed (error %lu)\n", GetLastError());
        std::exit(1);
    }
    static char buffer[5000];  // a whole packet: the engine sends at most 5,000 bytes
    ULONG read = 0;
    if (!WFVirtualChannelRead(data, timeoutMs, buffer, sizeof buffer, &read)) {
        std::printf("no answer to \"%s\" (error %lu)\n", text.c_str(), GetLastError());
        std::exit(1);
    }
    return std::string(buffer, read);
}

}  // namespace

int main() {
    if (!LoadWfapi()) return 1;
    char commandName[] = "KstCmd1", dataName[] = "KstDta1";
    command = WFVirtualChannelOpen(WF_CURRENT_SERVER_HANDLE, WF_CURRENT_SESSION, commandName);
    data = WFVirtualChannelOpen(WF_CURRENT_SERVER_HANDLE, WF_CURRENT_SESSION, dataName);
    if (command == nullptr || data == nullptr) {
        std::printf("cannot open the channels (error %lu): is the Virtual channel allow list set?\n",
                    GetLastError());
        return 1;
    }
    const char* const session[] = {"Hello", "KestavClientDriverVersion", "Init|sim|", "Connect",
                                   "Calibrate", "CalibrateStep|White|", "CalibrateStep|Black|", "Measure"};
    for (const char* text : session) std::printf("%-28s %s\n", text, Call(text, 10000).c_str());

    const std::string spectrum = Call("GetSpectralDataAll|0|", 10000);
    std::printf("%-28s %s\n\nwavelength  reflectance\n", "GetSpectralDataAll|0|", spectrum.c_str());
    if (spectrum.compare(0, 3, "OK|") != 0) return 1;
    std::size_t at = 3;
    for (int band = 0; band < 31 && at <= spectrum.size(); ++band) {
        const std::size_t end = spectrum.find(';', at);
        std::printf("  %d nm    %s\n", 400 + 10 * band,
                    spectrum.substr(at, end == std::string::npos ? std::string::npos : end - at).c_str());
        if (end == std::string::npos) break;
        at = end + 1;
    }
    std::printf("%-28s %s\n", "Disconnect", Call("Disconnect", 10000).c_str());
    WFVirtualChannelClose(command);
    WFVirtualChannelClose(data);
    return 0;
}
