#include "tools/bench/Road.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include "diag/LogPath.h"
#include "platform/Environment.h"
#include "platform/File.h"
#include "platform/Library.h"
#include "platform/Names.h"
#include "platform/Registry.h"
#include "tools/host/Engine.h"

namespace fs = std::filesystem;

namespace bench {

namespace {
std::string ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}
}  // namespace

void SetAdminSetting(const char* name, int value) {
    if (value >= 0)
        platform::WriteMachineDword(platform::View::Own, names::kPreferenceKey, name,
                                    static_cast<std::uint32_t>(value));
    else
        platform::DeleteMachineValue(platform::View::Own, names::kPreferenceKey, name);
}

Road::Road() : engine(new standin::Engine()) {}

Road::~Road() {
    engine.reset();
    std::error_code ignored;
    if (!folder.empty()) fs::remove_all(folder, ignored);
}

bool Road::Start(std::string* error) {
    folder = (fs::temp_directory_path() / ("kst-bench-" + std::to_string(std::random_device()())))
                 .string();
    fs::create_directories(folder);
    for (const char* name : {"TMP", "TEMP", "TMPDIR"}) platform::SetEnvironment(name, folder);
    logPath = platform::NativePath(diag::LogFilePath());
    floorPath = folder + "/floor.log";

    if (!engine->LoadModule(platform::ProgramFolder() + "/" + KST_MODULE_FILE, error)) return false;
    return Place(Where::InProcess, true, error);
}

bool Road::Place(Where where, bool threaded, std::string* error) {
    const bool hosted = where == Where::Host;
    // Read when the driver is opened, and by Init.
    SetAdminSetting(names::kIsolateDriver, hosted ? -1 : 0);  // the host: no setting at all
    SetAdminSetting(names::kInstrumentThread, threaded ? -1 : 0);
    const std::size_t logStart = ReadAll(logPath).size();
    (void)engine->Close();
    if (engine->Open() != 0) *error = "the module's open procedure failed";
    for (const char* command : {"Init|sim|", "Connect", "Calibrate", "CalibrateStep|White|",
                                "CalibrateStep|Black|", "Measure"}) {
        if (!error->empty()) break;
        const auto sent = engine->Run("KstCmd1", command);
        if (sent.empty() || sent.back().bytes.compare(0, 2, "OK") != 0)
            *error = std::string("set-up command failed: ") + command;
    }
    SetAdminSetting(names::kIsolateDriver, -1);
    SetAdminSetting(names::kInstrumentThread, -1);
    if (!error->empty()) return false;
    const std::string log = ReadAll(logPath).substr(logStart);
    const bool hostStarted = log.find("Driver host started (pid ") != std::string::npos;
    const bool threadOn = log.find("Instrument thread: on") != std::string::npos;
    const bool threadOff = log.find("Instrument thread: off") != std::string::npos;
    if (hostStarted != hosted || threadOn != threaded || threadOff == threaded)
        *error = std::string("the row did not run where it says: the log shows ") +
                 (hostStarted ? "a driver host" : "no driver host") + " and the instrument thread " +
                 (threadOn ? "on" : threadOff ? "off" : "not mentioned");
    return error->empty();
}

double Road::TimeInit(Where where, std::string* error) {
    SetAdminSetting(names::kIsolateDriver, where == Where::Host ? -1 : 0);
    const std::size_t logStart = ReadAll(logPath).size();
    const auto start = std::chrono::steady_clock::now();
    const auto sent = engine->Run("KstCmd1", "Init|sim|");
    const double us =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    SetAdminSetting(names::kIsolateDriver, -1);
    if (sent.empty() || sent.back().bytes != "OK") *error = "Init|sim| failed";
    // Proof of the placement: a host started, or one kept from before took
    // the driver; in-process neither.
    const std::string log = ReadAll(logPath).substr(logStart);
    const bool hosted = log.find("Driver host started (pid ") != std::string::npos ||
                        log.find("Driver host kept (pid ") != std::string::npos;
    if (error->empty() && hosted != (where == Where::Host))
        *error = std::string("Init ran ") + (hosted ? "in a driver host" : "in-process") +
                 ", not where it was measured";
    return us;
}

Road::HookTime Road::TimeHook(const std::string& command) {
    const std::size_t before = engine->SentCount();
    const auto start = std::chrono::steady_clock::now();
    engine->Deliver("KstCmd1", command);
    const double hook = engine->lastHookMicroseconds;
    while (engine->SentCount() == before) {
        if (engine->Poll() == ica::kStatusNoData)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return {hook, std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                      .count()};
}

std::size_t Road::Command(const std::string& command) {
    const std::size_t before = engine->SentCount();
    engine->Deliver("KstCmd1", command);
    // Polls until the response has left: at once when the command ran inside
    // the write hook, or as soon as the instrument thread has it ready.
    for (int spins = 0; spins < 10000000 && engine->SentCount() == before; ++spins) {
        if (engine->Poll() == ica::kStatusNoData) std::this_thread::yield();
    }
    const std::size_t sent = engine->SentCount() - before;
    if (sent > 0 && engine->SentCount() > 1024) engine->sent.clear();
    return sent;
}

std::vector<std::string> Road::LinesOf(const std::string& command) {
    const std::size_t before = ReadAll(logPath).size();
    Command(command);
    const std::string written = ReadAll(logPath).substr(before);
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < written.size()) {
        const std::string::size_type end = written.find('\n', start);
        const std::string::size_type next = end == std::string::npos ? written.size() : end + 1;
        lines.push_back(written.substr(start, next - start));
        start = next;
    }
    return lines;
}

void Road::Floor(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) AppendBare(floorPath, line);
}

void Road::ResetFiles() {
    std::ofstream(logPath, std::ios::trunc);
    std::ofstream(floorPath, std::ios::trunc);
}

}  // namespace bench
