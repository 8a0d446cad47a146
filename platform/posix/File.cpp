// Files on POSIX, with Windows-like results, so that every text the module
// writes reads the same.
#include "platform/File.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

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

FileHandle OpenSharedAppend(const char* path, bool truncate) {
    char native[PATH_MAX];
    const std::size_t length = strnlen(path, sizeof native);
    if (length == sizeof native) return kNoFile;
    std::memcpy(native, path, length + 1);
    for (char* c = native; (c = std::strchr(c, '\\')) != nullptr;) *c = '/';
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
