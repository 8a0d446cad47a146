#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

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

}  // namespace bench
