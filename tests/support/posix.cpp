// POSIX side of the test helpers: files cannot be held exclusively here.
#include <cstring>
#include <fstream>
#include <unistd.h>
#include <dlfcn.h>
#include <link.h>
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

bool IsLibraryLoaded(const std::string& path) {
    std::string file = platform::NativePath(path);
    if (file.size() > 4 && file.compare(file.size() - 4, 4, ".dll") == 0)
        file.replace(file.size() - 4, 4, ".so");
    // Looked up among the loaded objects without taking a reference: a probe
    // that opened the library would, when it is the last to close it, run
    // its static destructors itself, on the test's thread.
    struct stat wanted {};
    if (stat(file.c_str(), &wanted) != 0) return false;
    struct Search {
        const struct stat* wanted;
        bool found;
    } search{&wanted, false};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto* search = static_cast<Search*>(data);
            struct stat loaded {};
            if (info->dlpi_name != nullptr && info->dlpi_name[0] != '\0' && stat(info->dlpi_name, &loaded) == 0 &&
                loaded.st_dev == search->wanted->st_dev && loaded.st_ino == search->wanted->st_ino)
                search->found = true;
            return search->found ? 1 : 0;
        },
        &search);
    return search.found;
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
