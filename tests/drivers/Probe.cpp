#include "tests/drivers/Probe.h"

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/CallingConvention.h"

extern "C" int KST_CDECL ProbeDependencyAnswer();

namespace probe {

namespace {

std::atomic<int> counted{0};
std::atomic<bool> stop{false};
std::thread counter;

constexpr UINT kPing = WM_APP + 1;

LRESULT CALLBACK ProbeWindow(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == kPing) return 7;
    return DefWindowProcA(window, message, w, l);
}

std::string Window() {
    WNDCLASSA type{};
    type.lpfnWndProc = ProbeWindow;
    type.hInstance = GetModuleHandleA(nullptr);
    type.lpszClassName = "KestavProbeWindow";
    RegisterClassA(&type);  // already there from an earlier call: fine
    HWND window = CreateWindowExA(0, type.lpszClassName, "probe", WS_OVERLAPPEDWINDOW, 0, 0, 100,
                                  100, nullptr, nullptr, type.hInstance, nullptr);
    if (window == nullptr) return "window not created (error " + std::to_string(GetLastError()) + ")";
    std::atomic<bool> done{false};
    DWORD_PTR result = 0;
    std::thread sender([&] {
        if (!SendMessageTimeoutA(window, kPing, 0, 0, SMTO_NORMAL, 5000, &result)) result = 0;
        done = true;
    });
    // The call waits as a driver's dialog does: pumping this thread's messages.
    while (!done) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    sender.join();
    DestroyWindow(window);
    return result == 7 ? "window answered" : "window did not answer";
}

std::string Com() {
    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(init)) return "com init failed";
    IUnknown* object = nullptr;
    // The standard global interface table: an object every system has.
    const CLSID table = {0x00000323, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    const HRESULT created =
        CoCreateInstance(table, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&object));
    if (object != nullptr) object->Release();
    CoUninitialize();
    return SUCCEEDED(created) ? "com ok" : "com object not created";
}

}  // namespace

std::string Run(const std::string& what) {
    if (what == "cwd") {
        char folder[MAX_PATH] = {};
        GetCurrentDirectoryA(MAX_PATH, folder);
        return folder;
    }
    if (what.rfind("env:", 0) == 0) {
        char value[1024] = {};
        const DWORD length = GetEnvironmentVariableA(what.substr(4).c_str(), value, sizeof value);
        return length == 0 || length >= sizeof value ? "(unset)" : value;
    }
    if (what == "dependency") return "dependency " + std::to_string(ProbeDependencyAnswer());
    if (what == "thread-start") {
        if (counter.joinable()) return "already running";
        stop = false;
        counter = std::thread([] {
            while (!stop) {
                ++counted;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        return "started";
    }
    if (what == "thread-count") return std::to_string(counted.load());
    if (what == "thread-stop") {
        if (!counter.joinable()) return "not running";
        stop = true;
        counter.join();
        return "stopped";
    }
    if (what == "window") return Window();
    if (what == "com") return Com();
    return "unknown probe";
}

}  // namespace probe
