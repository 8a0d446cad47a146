#include "tests/support/TestSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "diag/LogPath.h"
#include "platform/CallingConvention.h"
#include "platform/Names.h"

namespace fs = std::filesystem;

namespace testing_support {

namespace {
const char* const kTempVariables[] = {"TMP", "TEMP", "TMPDIR"};

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}
}  // namespace

std::string ExecutableFolder() {
    const std::string self =
        platform::ModuleFileName(reinterpret_cast<const void*>(&ExecutableFolder));
    return fs::path(self).parent_path().string();
}

std::string DriverLibraryPath(const std::string& folder, const std::string& name) {
    return ExecutableFolder() + "/drivers/" + folder + "/" + name + ".dll";
}

const char* const kNoSettingsFile = "/nonexistent-kestav-test-settings/client.conf";
namespace {
[[maybe_unused]] const bool noMachineSettings = (platform::SetEnvironment("KESTAV_SETTINGS_FILE", kNoSettingsFile), true);
// The log follows the temporary folder of each test (ScopedTempFolder), never
// the session's runtime folder of whoever runs the tests.
[[maybe_unused]] const bool noRuntimeFolder = (platform::SetEnvironment("XDG_RUNTIME_DIR", ""), true);
}  // namespace

std::string DriverFilePath(const std::string& folder, const std::string& name) {
    return ExecutableFolder() + "/drivers/" + folder + "/" + name + (OnWindows() ? ".dll" : ".so");
}

std::string CrashCodePattern() {
#ifdef KST_SANITIZED
    // The sanitizer's handler reports the crash and ends with its own code.
    return OnWindows() ? "0x[0-9A-F]{8}" : R"((1[3-9][0-9] \(SIG[A-Z]+\)|[0-9]+))";
#else
    return OnWindows() ? "0x[0-9A-F]{8}" : R"(1[3-9][0-9] \(SIG[A-Z]+\))";
#endif
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(platform::NativePath(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream file(platform::NativePath(path), std::ios::binary);
    file << bytes;
}

std::vector<std::string> ReadLines(const std::string& path) {
    const std::string text = ReadFile(path);
    std::vector<std::string> lines;
    const std::string end = kLineEnd;
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type found = text.find(end, start);
        if (found == std::string::npos) break;
        lines.push_back(text.substr(start, found - start));
        start = found + end.size();
    }
    if (start < text.size()) lines.push_back(text.substr(start));  // unterminated tail
    return lines;
}

std::vector<std::string> ReadLogLines(const std::string& path) {
    static const std::regex stamp(R"(\d\d\.\d\d\.\d{4} - \d\d:\d\d:\d\d  )");
    std::vector<std::string> lines;
    for (const std::string& line : ReadLines(path))
        lines.push_back(std::regex_replace(line, stamp, "", std::regex_constants::format_first_only));
    return lines;
}

bool LogMatches(const std::string& logPath, const std::string& pattern) {
    const std::regex wanted(pattern);
    const auto log = ReadLogLines(logPath);
    return std::any_of(log.begin(), log.end(), [&](const std::string& line) { return std::regex_match(line, wanted); });
}

bool WaitUntil(const std::function<bool()>& condition, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {  // never asked twice a turn: a condition may reap what it waits for
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::vector<std::uint32_t> LoggedHostPids(const std::string& logPath) {
    static const std::regex started(R"(Driver host started \(pid (\d+), (32|64)-bit\))");
    std::vector<std::uint32_t> pids;
    std::smatch match;
    for (const std::string& line : ReadLogLines(logPath))
        if (std::regex_match(line, match, started)) pids.push_back(std::stoul(match[1]));
    return pids;
}

ScopedTempFolder::ScopedTempFolder() {
    std::random_device random;
    // The process's own temporary folder, as it was before any test moved it.
    static const fs::path base = fs::temp_directory_path();
    fs::path folder;
    do {
        folder = base / ("kst-test-" + std::to_string(random()));
    } while (fs::exists(folder));
    fs::create_directories(folder);
    path_ = folder.string();
    for (int i = 0; i < 3; ++i) saved_[i] = Environment(kTempVariables[i]);
    Redirect(path_);
    // On POSIX the log has a folder of the user's own in it, which its
    // first line would make: made now, so that a test can place a file there.
    if (!OnWindows()) {
        const fs::path logFolder = fs::path(LogPath()).parent_path();
        fs::create_directories(logFolder);
        fs::permissions(logFolder, fs::perms::owner_all);
    }
}

ScopedTempFolder::~ScopedTempFolder() {
    for (int i = 0; i < 3; ++i) platform::SetEnvironment(kTempVariables[i], saved_[i]);
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void ScopedTempFolder::Redirect(const std::string& folder) {
    for (const char* name : kTempVariables) platform::SetEnvironment(name, folder);
}

std::string ScopedTempFolder::LogPath() const {
    return platform::NativePath(diag::LogFilePath());
}

namespace {
std::string SettingKey(AdminSetting::Where where) {
    return where == AdminSetting::Where::Policy ? names::kPolicyKey : names::kPreferenceKey;
}
}  // namespace

AdminSetting::AdminSetting(const std::string& name, std::uint32_t value, Where where,
                           platform::View view)
    : name_(name), key_(SettingKey(where)), view_(view) {
    KeepEarlier();
    platform::WriteMachineDword(view_, key_, name_.c_str(), value);
}

AdminSetting::AdminSetting(const std::string& name, const std::string& text, Where where,
                           platform::View view)
    : name_(name), key_(SettingKey(where)), view_(view) {
    KeepEarlier();
    platform::WriteMachineString(view_, key_, name_.c_str(), text);
}

void AdminSetting::KeepEarlier() {
    hadDword_ = platform::ReadMachineDword(view_, key_, name_.c_str(), &earlier_) ==
                platform::ValueKind::Dword;
}

AdminSetting::~AdminSetting() {
    if (hadDword_)
        platform::WriteMachineDword(view_, key_, name_.c_str(), earlier_);
    else
        platform::DeleteMachineValue(view_, key_, name_.c_str());
}

namespace {
// IsolateDriver=0 from the first recording driver of the moment to the last
// (they need not end in the order they began).
int recordingDrivers = 0;
std::unique_ptr<AdminSetting> inProcess;
}  // namespace

RecordingDriver::RecordingDriver(const std::string& name)
    : library_(platform::OpenLibrary(DriverLibraryPath("Kestav", name))) {
    if (recordingDrivers++ == 0) inProcess = std::make_unique<AdminSetting>("IsolateDriver", 0);
    if (library_ != nullptr) Reset();
}

RecordingDriver::~RecordingDriver() {
    if (library_ != nullptr) platform::CloseLibrary(library_);
    if (--recordingDrivers == 0) inProcess.reset();
}

template <typename Form>
Form RecordingDriver::Find(const char* name) const {
    return reinterpret_cast<Form>(
        reinterpret_cast<std::uintptr_t>(platform::FindSymbol(library_, name)));
}

void RecordingDriver::Reset() { Find<void(KST_CDECL*)()>("RecordingReset")(); }
std::string RecordingDriver::Calls() const {
    return Find<const char*(KST_CDECL*)()>("RecordingCalls")();
}
void RecordingDriver::SetFlag(unsigned char value) {
    Find<void(KST_CDECL*)(unsigned char)>("RecordingSetFlag")(value);
}
void RecordingDriver::SetInt(std::int32_t value) {
    Find<void(KST_CDECL*)(std::int32_t)>("RecordingSetInt")(value);
}
void RecordingDriver::SetReal(float value) {
    Find<void(KST_CDECL*)(float)>("RecordingSetReal")(value);
}
void RecordingDriver::SetText(const char* value) {
    Find<void(KST_CDECL*)(const char*)>("RecordingSetText")(value);
}
void RecordingDriver::ThrowNext() { Find<void(KST_CDECL*)()>("RecordingThrowNext")(); }

TranscriptRun RunTranscript(const std::function<std::vector<Sent>(const std::string& command)>& run) {
    std::istringstream transcript(ReadFile(ExecutableFolder() + "/expected/session.txt"));
    TranscriptRun result;
    std::string line;
    while (std::getline(transcript, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        result.expected += line + "\n";
        if (line.compare(0, 2, "> ") != 0) continue;
        ++result.commands;
        result.actual += line + "\n";
        for (const Sent& sent : run(line.substr(2))) {
            result.actual += "< " + sent.bytes + "\n";
            result.channels.push_back(sent.channel);
        }
    }
    return result;
}

}  // namespace testing_support
