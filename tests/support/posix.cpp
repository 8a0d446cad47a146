// POSIX side of the test helpers: files cannot be held exclusively here.
#include <cstring>
#include <fstream>
#include <unistd.h>
#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/TestSupport.h"

namespace testing_support {

const char* const kLineEnd = "\n";
const char* const kNullDevice = "/dev/null";
const bool kExceptionsCrossLibraries = true;

bool ProcessIsRunning(std::uint32_t pid) { return kill(pid_t(pid), 0) == 0; }

unsigned AnsiCodePage() { return 0; }

std::size_t PrivateBytes() {
    // Resident pages, from /proc/self/statm: "size resident shared ...".
    std::ifstream statm("/proc/self/statm");
    std::size_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * std::size_t(sysconf(_SC_PAGESIZE));
}

bool MachineKeyExists(platform::View view, const std::string& key) {
    const bool shared = key.compare(0, 18, "SOFTWARE\\Policies\\") == 0;
    const std::string prefix =
        std::string("KST_HKLM") + (view == platform::View::Bits32 && !shared ? "32" : "64") + "\\" + key + "\\";
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        if (std::strncmp(*entry, prefix.c_str(), prefix.size()) == 0 && equals != nullptr && equals[1] != '\0')
            return true;
    }
    return false;
}

bool IsLibraryLoaded(const std::string& path) {
    std::string file = platform::NativePath(path);
    if (file.size() > 4 && file.compare(file.size() - 4, 4, ".dll") == 0)
        file.replace(file.size() - 4, 4, ".so");
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) dlclose(handle);
    return handle != nullptr;
}

ExclusiveHold::ExclusiveHold(const std::string&) {}
ExclusiveHold::~ExclusiveHold() {}
void ExclusiveHold::Release() {}

bool MakeReadOnly(const std::string& path) {
    return chmod(path.c_str(), 0444) == 0 && geteuid() != 0;
}

void MakeWritable(const std::string& path) {
    chmod(path.c_str(), 0644);
}

}  // namespace testing_support
