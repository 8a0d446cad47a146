// The Citrix client engine that loads an ICA module built for this OS: the
// Citrix Workspace app for Windows or for Linux. Both take the same procedure
// table and records (ica/EngineRecords.h); the steps in which they differ are
// ica::EngineAbi's. Only the Linux client offers a module its event loop: the
// Evt_* functions, exported by the client program itself, call a function of
// the module on the engine's thread when a file descriptor becomes readable.
#pragma once

namespace platform {

enum class CitrixEngine { Windows, Linux };
CitrixEngine ThisCitrixEngine();

// The client's event functions, as the Linux SDK documents them (each
// returns EVT_SUCCESS, 0, on success); all null where the client program
// exports none of them, and always on Windows.
struct EngineEvents {
    using Deliver = void (*)(void* subscriber, void* event);
    int (*create)(void* context, Deliver deliver, void* subscriber, void** event) = nullptr;
    int (*triggerForInput)(void* event, int descriptor) = nullptr;
    int (*removeTriggers)(int descriptor) = nullptr;
    int (*destroy)(void** event) = nullptr;
    bool Complete() const {
        return create != nullptr && triggerForInput != nullptr && removeTriggers != nullptr &&
               destroy != nullptr;
    }
};
EngineEvents FindEngineEvents();

// A pipe that any thread signals and the engine's event loop watches. Signal
// never blocks (a full pipe is signalled already); Drain empties it.
class WakePipe {
public:
    WakePipe() = default;
    ~WakePipe() { Close(); }
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;

    bool Open();
    void Signal();
    void Drain();
    void Close();
    int ReadEnd() const { return ends[0]; }
    bool IsOpen() const { return ends[0] >= 0; }

private:
    int ends[2] = {-1, -1};
};

}  // namespace platform
