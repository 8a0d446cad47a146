#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>

#include "tools/bench/Road.h"

namespace bench {

void AppendBare(const std::string& path, const std::string& bytes) {
    const int file = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (file < 0) return;
    (void)!write(file, bytes.data(), bytes.size());
    close(file);
}

CpuTime ProcessCpuTime() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return {usage.ru_utime.tv_sec * 1e6 + usage.ru_utime.tv_usec,
            usage.ru_stime.tv_sec * 1e6 + usage.ru_stime.tv_usec};
}

std::size_t ResidentBytes() {
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm == nullptr) return 0;
    unsigned long size = 0, resident = 0;
    const int read = fscanf(statm, "%lu %lu", &size, &resident);
    fclose(statm);
    return read == 2 ? std::size_t(resident) * std::size_t(sysconf(_SC_PAGESIZE)) : 0;
}

}  // namespace bench
