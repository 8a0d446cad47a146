// Any bytes through the write hook the module registered, on either channel,
// then polls, with the engine refusing sends now and then and HPC switched
// on and off. The first byte steers; the rest is the write. Commands run
// inside the write hook (InstrumentThread=0), so that each input's path is
// the same every time; the instrument thread has tests of its own, under
// ThreadSanitizer among them.
#include <cstdint>
#include <string>

#include "ica/EngineRecords.h"
#include "platform/Names.h"
#include "platform/Registry.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tools/host/Engine.h"

extern "C" ica::EngineStatus KST_CDECL Load(ica::LinkRecord* link);

namespace {
standin::Engine* engine = nullptr;
bool hpc = false;

void Open(bool withHpc) {
    engine->hpc = withHpc;
    if (engine->Open() != 0) __builtin_trap();
    hpc = withHpc;
    // The host keeps a record of every open; a long run needs none of it.
    engine->informationCalls.clear();
    engine->linkedLibraries.clear();
    engine->hpcProperties.clear();
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Prepare();
    platform::WriteMachineDword(platform::View::Own, names::kPreferenceKey, names::kInstrumentThread, 0);
    engine = new standin::Engine(platform::CitrixEngine::Windows);
    std::string error;
    if (!engine->UseLoad(&Load, &error)) __builtin_trap();
    Open(false);
    engine->Deliver("KstCmd1", "Init|recording|");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > fuzz::kMaximumInput) return 0;
    const std::uint8_t steer = data[0];
    const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    static const ica::EngineStatus kRefusals[] = {1016, 5, -1, 1016};

    if (((steer >> 5) & 1) != hpc) Open(!hpc);
    engine->sent.clear();
    if (steer & 2) engine->RefuseSends(1 + ((steer >> 6) & 1), kRefusals[(steer >> 2) & 3]);
    const char* channel = (steer & 1) ? "KstDta1" : "KstCmd1";
    if (!engine->Deliver(channel, bytes)) __builtin_trap();
    const std::size_t writes = (steer & 16) ? 2 : 1;
    if (writes == 2) engine->Deliver(channel, bytes);  // two writes before one poll

    // Poll until the response is out. Without HPC only the newest response
    // leaves; with HPC each write may leave at once. Nothing stays behind.
    for (int poll = 0; poll < 4; ++poll) engine->Poll();
    engine->RefuseSends(0, 0);
    if (engine->Poll() != 21) __builtin_trap();
    if (engine->sent.empty() || engine->sent.size() > (hpc ? writes : 1)) __builtin_trap();
    for (const standin::SentResponse& sent : engine->sent)
        if (sent.bytes.empty() || sent.channel != engine->channelNumbers["KstDta1"]) __builtin_trap();
    if (bytes.compare(0, 4, "Init") == 0) engine->Deliver("KstCmd1", "Init|recording|"), engine->Poll();
    static unsigned runs = 0;
    if (++runs % 4096 == 0) fuzz::ForgetRecordedCalls();
    return 0;
}
