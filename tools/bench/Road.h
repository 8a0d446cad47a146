// The full command road of the real module (write hook, command, driver,
// poll, send) against its floor: the same log lines written with bare OS
// calls, one open/append/write/close per line.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace standin {
class Engine;
}

namespace bench {

class Road {
public:
    Road();
    ~Road();
    // Loads the module beside this program with the simulator bound
    // in-process, commands on the instrument thread (the default),
    // connected and calibrated; the log goes to a private folder.
    bool Start(std::string* error);
    // Opens the driver again (where the instrument thread is decided) and
    // loads the simulator again, in-process (IsolateDriver=0) or in the
    // driver host (no setting: the default), connected, calibrated and with
    // a sample measured. Fails unless the log shows that it runs where and
    // how it says: a row that measured something else proves nothing.
    enum class Where { InProcess, Host };
    bool Place(Where where, bool threaded, std::string* error);
    // How long "Init|sim|" takes, in microseconds, with the driver placed as
    // asked; fails (*error) unless the log shows it went there.
    double TimeInit(Where where, std::string* error);
    // The write hook's own time for one command, in microseconds, and how
    // long its response took to leave.
    struct HookTime {
        double hookUs, responseUs;
    };
    HookTime TimeHook(const std::string& command);
    // One command down the road: write hook, then the poll that sends it.
    // Returns how many responses left (1 when all is well).
    std::size_t Command(const std::string& command);
    // The log lines one command writes, each with its line end, as bytes.
    std::vector<std::string> LinesOf(const std::string& command);
    // The floor: those lines written with bare OS calls to a file beside the log.
    void Floor(const std::vector<std::string>& lines);
    // Empties both files, so a long run does not fill the disk.
    void ResetFiles();

private:
    std::unique_ptr<standin::Engine> engine;
    std::string folder, logPath, floorPath;
};

// An administrator's DWORD setting, set to `value` or (below 0) removed.
void SetAdminSetting(const char* name, int value);

// Bare OS calls: open for appending with full sharing, write, close.
void AppendBare(const std::string& path, const std::string& bytes);

// CPU time this process has spent so far, in user and in system (kernel) mode,
// in microseconds.
struct CpuTime {
    double user, system;
};
CpuTime ProcessCpuTime();

// Resident memory of this process in bytes (0 where unknown).
std::size_t ResidentBytes();

}  // namespace bench
