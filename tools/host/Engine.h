// A stand-in for the Citrix ICA client engine and its WinStation driver (WD):
// it loads the module by path, calls Load, opens the driver, delivers each
// command through the write hook the module registered, polls, and records
// every response the module sends. Used by the kestav-host program and by the
// engine tests, so both drive the real module exactly as the engine does.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ica/EngineRecords.h"
#include "platform/CitrixEngine.h"
#include "platform/Library.h"

namespace standin {

using ica::EngineStatus;

struct SentResponse {
    std::uint16_t channel;
    std::string bytes;
    bool hpc;  // sent through the HPC send procedure, not QueueVirtualWrite
};

struct InformationCall {
    std::uint16_t entry;  // 6 query, 7 set
    std::uint32_t informationClass;
    std::uint16_t length;
};

class Engine {
public:
    explicit Engine(platform::CitrixEngine kind = platform::ThisCitrixEngine());
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Loads the module and calls its Load export. False with `error` set when
    // the file cannot be loaded, has no Load export, or Load fails.
    bool LoadModule(const std::string& path, std::string* error);
    // Uses a module that is linked into this program: calls its Load directly.
    using LoadProc = EngineStatus(KST_CDECL*)(ica::LinkRecord*);
    bool UseLoad(LoadProc load, std::string* error);
    // Unload procedure, then releases the module (its static objects go).
    void UnloadModule();
    bool IsLoaded() const { return engineLink.procedures != nullptr; }

    // The engine's procedures, by table index.
    EngineStatus Open();
    EngineStatus Close();
    EngineStatus Info(std::uint8_t* buffer, std::uint16_t* byteCount);
    EngineStatus Poll();
    EngineStatus QueryInformation(std::uint32_t informationClass, void* buffer,
                                  std::uint32_t length, std::uint32_t* returnedLength);
    EngineStatus SetInformation();
    EngineStatus UnloadProcedure();

    // One write from the server on the named channel, through the write hook
    // the module registered for it. False when no hook is registered.
    bool Deliver(const std::string& channelName, const std::string& bytes);
    // Deliver, then poll as a real engine does, again and again, until a
    // response has been sent (by a poll or by a direct HPC send, which may
    // come from the module's instrument thread), a send fails with a status
    // other than "nothing ready" or "retry", or maxWaitMs has passed.
    // Returns the responses sent meanwhile.
    std::vector<SentResponse> Run(const std::string& channelName, const std::string& command,
                                  int maxWaitMs = 30000);
    // How long the last Deliver spent inside the module's write hook.
    double lastHookMicroseconds = 0;

    // What was sent, safe to read while the module's instrument thread sends.
    std::size_t SentCount();
    std::vector<SentResponse> SentSince(std::size_t first);

    // Which engine this host stands in for. Windows: the library manager,
    // the version check (class 86) and the high-performance channel (92).
    // Linux, as the Linux SDK documents it: WD classes 33 and 10 and no
    // others (any other class is refused, as 86 is another class there); the
    // driver sets its channel mask in the open record; the client's event
    // loop (Evt_create and the others, exported by this program) calls the
    // module back on this thread when its descriptor becomes readable.
    platform::CitrixEngine kind;
    // Whether Run calls the module's poll procedure (a Linux engine that
    // never polled would leave only the event loop to hand a response over).
    bool pollsDriver = true;
    // Whether Evt_create makes an event for this host's module (false: it
    // fails, as it would without memory).
    bool eventsOffered = true;
    // Calls the event functions' callbacks whose descriptors are readable,
    // waiting at most waitMs for one. Returns how many were called.
    int DeliverEvents(int waitMs);
    int eventDeliveries = 0;
    // Misuse the Linux SDK forbids: an event destroyed while its descriptor
    // is still watched (Evt_remove_triggers comes first).
    int eventFaults = 0;
    // Events the module created with this host and has not destroyed, and
    // those of them whose descriptor the loop watches.
    int LiveEvents() const;
    int WatchedEvents() const;

    // WD behaviour.
    bool hpc = false;                  // version check reports HPC
    bool wdHasProcedureTable = true;   // false: the WD link record has no table
    std::map<std::uint32_t, EngineStatus> failClass;  // class -> status to answer
    std::uint32_t openChannelMask = 0x00010000;
    std::uint16_t firstChannelNumber = 11;  // the number of the first channel opened
    // The maximum write size handed over in the write-hook record, one byte
    // of it for the channel number. A queued write of more than that less
    // one is refused whole with kStatusWriteTooLarge, as the engine does.
    std::uint16_t maximumWrite = 5000;
    static constexpr EngineStatus kStatusWriteTooLarge = ica::kStatusBufferTooSmall;
    // The next `count` sends are refused with `status`.
    void RefuseSends(int count, EngineStatus status);

    // What the module did. (While the module's instrument thread may send,
    // read `sent` through SentCount and SentSince.)
    std::vector<SentResponse> sent;
    std::vector<std::size_t> refusedWriteSizes;  // queued writes too large to take
    std::vector<std::string> linkedLibraries;
    std::vector<InformationCall> informationCalls;
    std::vector<ica::HpcPropertiesRecord> hpcProperties;
    std::map<std::string, std::uint16_t> channelNumbers;  // as the WD assigned them
    int sendAttempts = 0;
    // Calls of the engine's procedures (QueueVirtualWrite, the HPC send) from
    // any thread but the engine's own, the one that made this host: the real
    // engine gives no other thread that right.
    int offThreadSends = 0;
    std::uint16_t openSize = 0;  // the engine's u16 after the open procedure
    std::uint32_t OpenedMask() const { return openRecord.channelMask; }

    ica::LinkRecord engineLink{};
    ica::DriverRecord* DriverRecord() const {
        return static_cast<ica::DriverRecord*>(engineLink.data);
    }
    // The last write hook the module registered, by channel number.
    struct Hook {
        ica::WriteHook callback;
        void* moduleData;
    };
    std::map<std::uint16_t, Hook> hooks;

    // The module's view of the WD's data pointer and queued write.
    static EngineStatus KST_CDECL WdQueryInformation(void* wd, void* request, std::uint16_t* size);
    static EngineStatus KST_CDECL WdSetInformation(void* wd, void* request, std::uint16_t* size);
    static EngineStatus KST_CDECL QueueVirtualWrite(void* wd, std::uint16_t channel,
                                                    ica::MemorySection* sections,
                                                    std::uint16_t count, std::uint16_t flags);
    static EngineStatus KST_CDECL HpcSend(void* wd, std::uint16_t channel, std::uint8_t* bytes,
                                          std::uint16_t length, void* userData,
                                          std::uint32_t flags);
    static EngineStatus KST_CDECL UseLibrary(const char* name, void* reserved, void** table);

    static Engine* opening;  // the host whose Open is under way

private:
    EngineStatus Call(int index, void* parameter, std::uint16_t* size);
    EngineStatus Accept(std::uint16_t channel, std::string bytes, bool viaHpc);

    platform::LibraryHandle module = nullptr;
    ica::LinkRecord wdLink{};
    ica::Procedure wdProcedures[8] = {};
    void* libraryManager[4] = {};
    ica::OpenRecord openRecord{};
    std::mutex sendLock;  // a module at fault might send from another thread
    const std::thread::id engineThread = std::this_thread::get_id();
    int refuseCount = 0;
    EngineStatus refuseStatus = ica::kStatusNoOutputBuffer;
};

// Text that a person can read for any bytes: printable ASCII as it is, the
// rest as \xNN.
std::string Printable(const std::string& bytes);

}  // namespace standin
