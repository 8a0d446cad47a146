// Helpers shared by the tests: where the test program and the drivers are,
// a private temporary folder per test, and control of the recording driver.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Environment.h"
#include "platform/File.h"
#include "platform/Library.h"
#include "platform/Registry.h"

namespace testing_support {

// The folder of the running test program; the module, drivers/ and the host
// are built beside it.
std::string ExecutableFolder();

// Every command of the checked-in transcript (expected/session.txt) through
// `run`, which sends one command and returns each response written for it,
// with the channel it came on: the transcript as it should go, as it went
// ("> command", "< response" lines), and on which channels responses came.
struct Sent {
    std::string channel;
    std::string bytes;
};
struct TranscriptRun {
    std::string expected, actual;
    int commands = 0;
    std::vector<std::string> channels;  // of every response, in order
};
TranscriptRun RunTranscript(const std::function<std::vector<Sent>(const std::string& command)>& run);

// The one response a command got, "(n sent)" when there is not exactly one.
template <typename Written>
std::string OneResponse(const std::vector<Written>& sent) {
    return sent.size() == 1 ? sent[0].bytes : "(" + std::to_string(sent.size()) + " sent)";
}

// A Windows build; the tests of what only Windows has skip elsewhere.
inline bool OnWindows() { return platform::kProgramSuffix[0] != '\0'; }
// A driver's file as the log names it: LibraryName("sim") => "sim.dll" (Windows), "sim.so".
inline std::string LibraryName(const std::string& base) { return base + (OnWindows() ? ".dll" : ".so"); }
// The driver library's own file: "<name>.dll" on Windows, "<name>.so" on
// Linux (DriverLibraryPath gives the name Init and the module use).
std::string DriverFilePath(const std::string& folder, const std::string& name);
// A crash's exit code in the driver host's log lines and the self-test, as a
// regular expression: 0xC0000005 on Windows, 139 (SIGSEGV) on Linux (any
// code in a sanitizer's build, whose handler ends the program its own way).
std::string CrashCodePattern();

// Where the tests' settings file is, by default: nowhere, so that a
// settings file of the machine (/etc/kestav/client.conf) changes no test.
// A test that writes its own points KESTAV_SETTINGS_FILE back here after.
extern const char* const kNoSettingsFile;

// The whole content of a file, bytes as they are; empty when it cannot be read.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

// The lines of the log file (line ends removed), and whether each ended in
// CR LF where the platform writes them so.
std::vector<std::string> ReadLines(const std::string& path);
// The log's lines, with the time prefix of timestamped lines taken off.
std::vector<std::string> ReadLogLines(const std::string& path);
// Whether a line of the log matches the regular expression whole.
bool LogMatches(const std::string& logPath, const std::string& pattern);

// Asks `condition` every 20 ms, once a turn, until it holds (true) or `seconds` have passed (false).
bool WaitUntil(const std::function<bool()>& condition, int seconds = 20);

// A fresh, empty folder that is the process's temporary folder (TMP, TEMP,
// TMPDIR) while this object lives. The log of the module goes there.
class ScopedTempFolder {
public:
    ScopedTempFolder();
    ~ScopedTempFolder();
    const std::string& Path() const { return path_; }
    std::string LogPath() const;  // the log file inside it
    // Points the temporary folder somewhere else (missing, a file, ...).
    void Redirect(const std::string& folder);

private:
    std::string path_;
    std::string saved_[3];
};

// Holds the file open so that nobody else may open it, where the platform can
// do so (Windows). False where it cannot.
class ExclusiveHold {
public:
    explicit ExclusiveHold(const std::string& path);
    ~ExclusiveHold();
    bool Held() const { return handle_ != nullptr; }
    void Release();

private:
    void* handle_ = nullptr;
};

// Marks a file read-only (and back). False where that would not stop this
// process from writing it (POSIX as root).
bool MakeReadOnly(const std::string& path);
void MakeWritable(const std::string& path);

// The path of the system's null device ("NUL", "/dev/null").
extern const char* const kNullDevice;

// Text mode line end of this platform's C runtime.
extern const char* const kLineEnd;

// An administrator's setting while this object lives, put back as it was
// afterwards (a DWORD found before is written again, else the value is
// removed): a DWORD (or, with the string form, a value of the wrong type) as
// a preference or a policy, in this process's registry view or another.
class AdminSetting {
public:
    enum class Where { Preference, Policy };
    AdminSetting(const std::string& name, std::uint32_t value, Where where = Where::Preference,
                 platform::View view = platform::View::Own);
    AdminSetting(const std::string& name, const std::string& text, Where where = Where::Preference,
                 platform::View view = platform::View::Own);
    ~AdminSetting();
    AdminSetting(const AdminSetting&) = delete;
    AdminSetting& operator=(const AdminSetting&) = delete;

private:
    void KeepEarlier();
    std::string name_;
    std::string key_;
    platform::View view_;
    bool hadDword_ = false;
    std::uint32_t earlier_ = 0;
};

// The ids of every driver host the log at `logPath` says was started.
std::vector<std::uint32_t> LoggedHostPids(const std::string& logPath);

// Whether a process with this id is still running.
bool ProcessIsRunning(std::uint32_t pid);

// The private memory this process uses now, in bytes.
std::size_t PrivateBytes();

// The system's 8-bit code page (Windows: the ANSI code page, 1252 for
// Western Europe); 0 where paths are bytes with no code page (POSIX).
unsigned AnsiCodePage();

// Whether the library at `path` is loaded into this process now.
bool IsLibraryLoaded(const std::string& path);

// Whether the machine's registry key is there (with the test builds'
// stand-in, whether any value is set under it), in that view.
bool MachineKeyExists(platform::View view, const std::string& key);

// Whether a C++ exception thrown in a driver library reaches the module's
// handlers. Not on Windows, where each DLL links its own runtime.
extern const bool kExceptionsCrossLibraries;

// The recording instrument driver (tests/drivers): what it was called with,
// and what it answers. Its controls reach the copy in this process, so while
// this object lives the module keeps drivers in-process (IsolateDriver=0).
class RecordingDriver {
public:
    explicit RecordingDriver(const std::string& name = "recording");
    ~RecordingDriver();
    bool Loaded() const { return library_ != nullptr; }
    void Reset();
    std::string Calls() const;
    void SetFlag(unsigned char value);
    void SetInt(std::int32_t value);
    void SetReal(float value);
    void SetText(const char* value);
    // The next entry point called throws an int (no std::exception).
    void ThrowNext();

private:
    platform::LibraryHandle library_;
    template <typename Form>
    Form Find(const char* name) const;
};

// Full path of a driver library built for the tests.
std::string DriverLibraryPath(const std::string& folder, const std::string& name);

}  // namespace testing_support
