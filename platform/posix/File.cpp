// Files on POSIX, with Windows-like results, so that every text the module
// writes reads the same.
#include "platform/File.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

namespace platform {

std::uint32_t TempFolder(char* buffer, std::uint32_t size) {
    // The POSIX counterpart of GetTempPathA's TMP/TEMP lookup: TMPDIR, then
    // the user's own runtime folder (no other user can write there), then /tmp.
    const char* folder = getenv("TMPDIR");
    if (folder == nullptr || *folder == '\0') folder = getenv("XDG_RUNTIME_DIR");
    if (folder == nullptr || *folder == '\0') folder = "/tmp";
    const std::size_t length = std::strlen(folder);
    const bool addSeparator = folder[length - 1] != '/';
    const std::size_t total = length + (addSeparator ? 1 : 0);
    // As GetTempPathA: the length that would be needed, terminator included,
    // when it does not fit.
    if (total + 1 > size) return static_cast<std::uint32_t>(total + 1);
    std::memcpy(buffer, folder, length);
    if (addSeparator) buffer[length] = '/';
    buffer[total] = '\0';
    return static_cast<std::uint32_t>(total);
}

namespace {
// The appending descriptor of the last file opened to append, kept between
// lines: opening and closing a file costs more than writing a line here,
// several times per command. Each reuse checks that it is still the file at
// that path (not deleted; not renamed away or replaced, looked up by path
// at most once a second), so a log removed or rotated is opened afresh, as
// the next line's own open would. An open file keeps no one out on Linux.
// Plain data, alive from the first line to the last one of static
// destruction (the module's last line is written then).
struct KeptFile {
    char path[PATH_MAX] = {};
    int fd = -1;
    int users = 0;       // lines writing to it now, on any thread
    bool stale = false;  // to be closed once no line uses it
    dev_t device = 0;
    ino_t inode = 0;
    timespec looked{};  // when the path last led to it
};
std::mutex keptLock;
KeptFile kept;
// Set when this module's static objects are destroyed: from then on every
// line opens and closes the file itself, and nothing is left open when the
// module is unloaded.
bool keptForGood = false;

bool WithinASecond(const timespec& since, const timespec& now) {
    return now.tv_sec - since.tv_sec < 1 ||
           (now.tv_sec - since.tv_sec == 1 && now.tv_nsec < since.tv_nsec);
}

// Whether the kept descriptor is still the file at its path; keptLock held.
bool KeptStillThere() {
    struct stat status {};
    if (fstat(kept.fd, &status) != 0 || status.st_nlink == 0 || status.st_uid != geteuid()) return false;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    if (WithinASecond(kept.looked, now)) return true;
    struct stat atPath {};
    if (lstat(kept.path, &atPath) != 0 || atPath.st_dev != kept.device || atPath.st_ino != kept.inode)
        return false;
    kept.looked = now;
    return true;
}

void ForgetKept() {
    if (kept.fd < 0) return;
    if (kept.users > 0) {
        kept.stale = true;  // the last line using it closes it
        return;
    }
    close(kept.fd);
    kept = KeptFile();
}

struct KeptClosed {
    ~KeptClosed() {
        std::lock_guard<std::mutex> hold(keptLock);
        keptForGood = true;
        ForgetKept();
    }
} keptClosed;
}  // namespace

FileHandle OpenSharedAppend(const char* path, bool truncate) {
    char native[PATH_MAX];
    const std::size_t length = strnlen(path, sizeof native);
    if (length == sizeof native) return kNoFile;
    std::memcpy(native, path, length + 1);
    for (char* c = native; (c = std::strchr(c, '\\')) != nullptr;) *c = '/';
    if (!truncate && !keptForGood) {
        std::lock_guard<std::mutex> hold(keptLock);
        if (kept.fd >= 0 && !kept.stale && std::strcmp(kept.path, native) == 0) {
            if (KeptStillThere()) {
                ++kept.users;
                return kept.fd;
            }
            ForgetKept();
        }
    }
    // Never through a link, only a plain file of this user's, readable by
    // this user alone: in a shared folder such as /tmp another user cannot
    // make the log go elsewhere, nor read it.
    const int file =
        open(native, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | (truncate ? 0 : O_APPEND), 0600);
    if (file < 0) return kNoFile;
    struct stat status;
    if (fstat(file, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid() ||
        (truncate && ftruncate(file, 0) != 0)) {
        close(file);
        return kNoFile;
    }
    // Only an appending descriptor is kept: every write lands at the end,
    // whoever else writes to the file.
    if (truncate) return file;
    std::lock_guard<std::mutex> hold(keptLock);
    if (keptForGood || kept.users > 0 || (kept.fd >= 0 && kept.stale))
        return file;  // this one is closed after its line
    ForgetKept();
    std::memcpy(kept.path, native, length + 1);
    kept.fd = file;
    kept.users = 1;
    kept.device = status.st_dev;
    kept.inode = status.st_ino;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &kept.looked);
    return file;
}

bool WriteBytes(FileHandle file, const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t written = write(static_cast<int>(file), bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

void CloseFile(FileHandle file) {
    {
        std::lock_guard<std::mutex> hold(keptLock);
        if (file == kept.fd && kept.users > 0) {
            if (--kept.users == 0 && kept.stale) {
                close(kept.fd);
                kept = KeptFile();
            }
            return;
        }
    }
    close(static_cast<int>(file));
}

std::uint64_t FileSize(FileHandle file) {
    struct stat status {};
    if (fstat(static_cast<int>(file), &status) != 0 || status.st_size < 0) return 0;
    return static_cast<std::uint64_t>(status.st_size);
}

const char kProgramSuffix[] = "";

const char* LineEnd() {
    return "\n";
}

FileStart ReadFileStart(const std::string& path, std::size_t size, std::string* bytes) {
    bytes->clear();
    // O_NONBLOCK: opening a FIFO with no writer would wait.
    const int file = open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (file < 0) return FileStart::Unreadable;
    struct stat status {};
    if (fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(file);
        return FileStart::NotADiskFile;
    }
    bytes->assign(size, '\0');
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = read(file, &(*bytes)[got], size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += std::size_t(n);
    }
    close(file);
    bytes->resize(got);
    return FileStart::Read;
}

std::string NativePath(const std::string& path) {
    std::string native(path);
    for (char& c : native)
        if (c == '\\') c = '/';
    return native;
}

void UseBinaryStandardStreams() {}

}  // namespace platform
