// Files on POSIX, with Windows-like results, so that every text the module
// writes reads the same.
#include "platform/File.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace platform {

namespace {
// PrivateLogFolder's, once made. Both constant-initialized: the module's
// first log line comes from a static constructor, maybe before this file's.
std::mutex making;
char privateFolder[PATH_MAX];

const char* TemporaryFolder() {
    const char* temporary = getenv("TMPDIR");
    return temporary == nullptr || temporary[0] != '/' ? "/tmp" : temporary;
}
}  // namespace

bool PrivateLogFolder(std::string* folder, bool* made) {
    std::lock_guard<std::mutex> lock(making);
    *made = false;
    // Made anew when it is gone or no longer the user's alone (a cleaner of
    // the temporary folder, or a fork that inherited another's).
    struct stat status {};
    if (privateFolder[0] != '\0' && (lstat(privateFolder, &status) != 0 || !S_ISDIR(status.st_mode) ||
                                      status.st_uid != geteuid() || (status.st_mode & 077) != 0))
        privateFolder[0] = '\0';
    if (privateFolder[0] == '\0') {
        char name[PATH_MAX];
        const int length =
            snprintf(name, sizeof name, "%s/kestav-%u.XXXXXX", TemporaryFolder(), unsigned(geteuid()));
        if (length <= 0 || std::size_t(length) >= sizeof name || mkdtemp(name) == nullptr) return false;
        std::memcpy(privateFolder, name, std::size_t(length) + 1);
        *made = true;
    }
    *folder = privateFolder;
    return true;
}

std::uint32_t LogFolder(char* buffer, std::uint32_t size) {
    // The session's runtime folder is the user's alone; a shared temporary
    // folder (/tmp) gets a folder of the user's own in it. On the stack: the
    // log asks for its folder at every line.
    char folder[PATH_MAX];
    int length;
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        length = snprintf(folder, sizeof folder, "%s", runtime);
    } else {
        length = snprintf(folder, sizeof folder, "%s/kestav-%u", TemporaryFolder(), unsigned(geteuid()));
    }
    if (length <= 0 || std::size_t(length) >= sizeof folder) return 0;
    while (length > 1 && folder[length - 1] == '/') folder[--length] = '\0';
    // As GetTempPathA: the length that would be needed, terminator included,
    // when it does not fit.
    if (std::uint32_t(length) + 1 > size) return std::uint32_t(length) + 1;
    std::memcpy(buffer, folder, std::size_t(length) + 1);
    return std::uint32_t(length);
}

namespace {

// What a file found at the log's place is, when it is not the user's own
// plain file; "" when it is.
std::string WrongFile(const struct stat& status, const char* path) {
    const std::string at(path);
    if (S_ISLNK(status.st_mode)) return at + " is a link";
    if (S_ISFIFO(status.st_mode)) return at + " is a FIFO";
    if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) return at + " is a device";
    if (S_ISSOCK(status.st_mode)) return at + " is a socket";
    if (!S_ISREG(status.st_mode)) return at + " is not a plain file";
    if (status.st_uid != geteuid())
        return at + " is another user's file (uid " + std::to_string(status.st_uid) + ")";
    return std::string();
}

// The log's folder, made (for the user alone) when it is missing, and
// opened: a folder of this user's that no other user can write to. -1 with
// *problem otherwise.
int OpenOwnFolder(const char* folder, std::string* problem) {
    if (mkdir(folder, 0700) != 0 && errno != EEXIST) {
        *problem = std::string("the folder ") + folder + " cannot be made (" + std::strerror(errno) + ")";
        return -1;
    }
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        struct stat status {};
        *problem = lstat(folder, &status) == 0 && S_ISLNK(status.st_mode)
                       ? std::string("the folder ") + folder + " is a link"
                       : std::string("the folder ") + folder + " cannot be opened (" + std::strerror(errno) + ")";
        return -1;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || status.st_uid != geteuid() || (status.st_mode & 022) != 0) {
        *problem = std::string("the folder ") + folder +
                   (status.st_uid != geteuid() ? " is another user's (uid " + std::to_string(status.st_uid) + ")"
                                               : std::string(" can be written by other users"));
        close(fd);
        return -1;
    }
    return fd;
}

// Splits an absolute path into its folder and its name; false otherwise.
bool SplitLogPath(const char* path, char (&folder)[PATH_MAX], const char** name) {
    const char* slash = std::strrchr(path, '/');
    if (path[0] != '/' || slash == nullptr || slash[1] == '\0') return false;
    const std::size_t length = slash == path ? 1 : std::size_t(slash - path);
    std::memcpy(folder, path, length);
    folder[length] = '\0';
    *name = slash + 1;
    return true;
}

}  // namespace

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

FileHandle OpenSharedAppend(const char* path, bool truncate, std::string* problem) {
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
    std::string why;
    if (problem == nullptr) problem = &why;
    // Only in a folder of this user's alone, never through a link, only a
    // plain file of this user's, readable by this user alone, and never a
    // wait (a FIFO with no reader would block the open): in a shared folder
    // such as /tmp another user can neither make the log go elsewhere nor
    // read it, nor stop the client.
    char folder[PATH_MAX];
    const char* name = nullptr;
    if (!SplitLogPath(native, folder, &name)) {
        *problem = "there is no folder for the log (the temporary folder's path is too long)";
        return kNoFile;
    }
    const int directory = OpenOwnFolder(folder, problem);
    if (directory < 0) return kNoFile;
    const int file = openat(directory, name,
                            O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | (truncate ? 0 : O_APPEND),
                            0600);
    struct stat status {};
    if (file < 0) {
        const int error = errno;
        *problem = fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) == 0 ? WrongFile(status, native)
                                                                                 : std::string();
        if (problem->empty()) problem->assign(native).append(" cannot be opened (").append(std::strerror(error)).append(")");
        close(directory);
        return kNoFile;
    }
    close(directory);
    if (fstat(file, &status) != 0 || !(*problem = WrongFile(status, native)).empty() ||
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

std::string LogPlaceProblem(const std::string& path) {
    const std::string native = NativePath(path);
    char folder[PATH_MAX];
    const char* name = nullptr;
    if (native.size() >= sizeof folder || !SplitLogPath(native.c_str(), folder, &name))
        return "there is no folder for the log (the temporary folder's path is too long)";
    // Only looked at: a folder not there yet is made by the module's first
    // line, never by whoever asks (another user's check would own it).
    struct stat status {};
    if (lstat(folder, &status) != 0 && errno == ENOENT) return std::string();
    std::string problem;
    const int directory = OpenOwnFolder(folder, &problem);
    if (directory < 0) return problem;
    if (fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) == 0) problem = WrongFile(status, native.c_str());
    close(directory);
    return problem;
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

const char kPathSeparator[] = "/";
const char kProgramSuffix[] = "";
const bool kTextIsUtf8 = true;

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
    // No more room than the file holds: `size` may be a generous bound.
    const std::size_t wanted = std::size_t(std::min<std::uint64_t>(size, std::uint64_t(status.st_size)));
    bytes->assign(wanted, '\0');
    std::size_t got = 0;
    while (got < wanted) {
        const ssize_t n = read(file, &(*bytes)[got], wanted - got);
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

struct FolderLock {
    int fd;
};

FolderLock* LockFolder(const std::string& path) {
    const int fd = open(NativePath(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    int locked;
    do locked = flock(fd, LOCK_EX);
    while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        close(fd);
        return nullptr;
    }
    return new FolderLock{fd};
}

void UnlockFolder(FolderLock* lock) {
    if (lock == nullptr) return;
    close(lock->fd);  // releases the lock
    delete lock;
}

bool LiesInside(const std::string& path, const std::string& folder, std::string* real) {
    char resolved[PATH_MAX];
    real->clear();
    if (realpath(path.c_str(), resolved) == nullptr) return false;
    *real = resolved;
    if (realpath(folder.c_str(), resolved) == nullptr) return false;
    std::string inside = resolved;
    if (inside.empty() || inside.back() != '/') inside += '/';
    return real->compare(0, inside.size(), inside) == 0;
}

bool CopyFileOwner(const std::string& from, const std::string& to) {
    struct stat status {};
    return stat(NativePath(from).c_str(), &status) == 0 &&
           chown(NativePath(to).c_str(), status.st_uid, status.st_gid) == 0;
}

}  // namespace platform
