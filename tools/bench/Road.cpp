#include "tools/bench/Road.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include "diag/LogPath.h"
#include "platform/Platform.h"
#include "tools/host/EngineHost.h"

namespace fs = std::filesystem;

namespace bench {

namespace {
std::string ProgramFolder() {
    const std::string self =
        platform::ModuleFileName(reinterpret_cast<const void*>(&ProgramFolder));
    return self.substr(0, self.find_last_of("\\/"));
}

std::string ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}
}  // namespace

Road::Road() : engine(new host::EngineHost()) {}

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

    if (!engine->LoadModule(ProgramFolder() + "/" + KST_MODULE_FILE, error)) return false;
    if (engine->Open() != 0) {
        *error = "the module's open procedure failed";
        return false;
    }
    return Place(Where::InProcess, error);
}

bool Road::Place(Where where, std::string* error) {
    // Read by Init.
    SetAdminSetting("IsolateDriver", where == Where::InProcess ? -1 : 1);
    SetAdminSetting("InstrumentThread", where == Where::HostWithoutThread ? 0 : -1);
    for (const char* command : {"Init|sim|", "Connect", "Calibrate", "CalibrateStep|White|",
                                "CalibrateStep|Black|", "Measure"}) {
        const auto sent = engine->Run("KstCmd1", command);
        if (sent.empty() || sent.back().bytes.compare(0, 2, "OK") != 0) {
            *error = std::string("set-up command failed: ") + command;
            break;
        }
    }
    SetAdminSetting("IsolateDriver", -1);
    SetAdminSetting("InstrumentThread", -1);
    return error->empty();
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
