// Files: the log's shared appending writes, reading the start of a file, the
// temporary folder, paths and the standard streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// The folder of the log, with GetTempPath semantics, in UTF-8: writes it into
// buffer and returns its length in bytes; 0 on failure; a value above size
// when the folder does not fit. The log's file name follows it after a
// backslash. Windows: the user's temporary folder, with its trailing
// separator (so the path has the doubled backslash it always had). POSIX: a
// folder of this user's alone, without a trailing separator (the name's
// backslash is the separator): $XDG_RUNTIME_DIR, else "kestav-<uid>" in the
// temporary folder ($TMPDIR, else /tmp), which the log's open makes.
std::uint32_t LogFolder(char* buffer, std::uint32_t size);

// A file opened for appending lines: an fd, or a HANDLE on Windows.
using FileHandle = std::intptr_t;
constexpr FileHandle kNoFile = -1;

// Where the log goes while its place cannot be used (OpenSharedAppend's
// problem): a fresh folder that only this user can own (POSIX:
// "kestav-<uid>.XXXXXX" in the temporary folder, made with mode 0700 under
// a name no one could have taken first), made at the first call (*made) and
// the same for the rest of the process. False where it cannot be made, and
// on Windows (the temporary folder is the user's own).
bool PrivateLogFolder(std::string* folder, bool* made);

// Opens the log for writing with full sharing (other readers and writers, in
// this process or another, are not shut out). truncate: create or empty it;
// otherwise create or append, every write going to the end. kNoFile on
// failure. On POSIX never without waiting, never through a link, never a
// FIFO, a device or a file of another user's, never in a folder that is not
// this user's alone (the per-user folder is made here): *problem (when given)
// then says why, in words for the user.
FileHandle OpenSharedAppend(const char* path, bool truncate, std::string* problem = nullptr);
// Why the log at `path` could not be written now ("" when it could), seen
// without writing to it: the same checks as the open (POSIX; "" on Windows).
std::string LogPlaceProblem(const std::string& path);
// Writes all bytes in one call where the system allows; false on failure.
bool WriteBytes(FileHandle file, const char* bytes, std::size_t size);
void CloseFile(FileHandle file);
// The size of an open file in bytes; 0 when it cannot be told.
std::uint64_t FileSize(FileHandle file);
// What a program's file name ends with here: ".exe" on Windows, nothing elsewhere.
extern const char kProgramSuffix[];
// Between a folder and a name in paths people read: "\\" on Windows, "/" elsewhere.
extern const char kPathSeparator[];
// The line end of text files here: "\r\n" on Windows, "\n" elsewhere.
const char* LineEnd();
// Whether text files here are UTF-8 (POSIX) or in the ANSI code page (Windows).
extern const bool kTextIsUtf8;

// The first `size` bytes of a file (fewer when it is shorter). The file is
// opened and must be a file on disk before any byte is read: a device (a
// serial port, the console) or a pipe could block the reader for good.
enum class FileStart { Read, Unreadable, NotADiskFile };
FileStart ReadFileStart(const std::string& path, std::size_t size, std::string* bytes);

// Native path form: backslashes become the platform's separator.
std::string NativePath(const std::string& path);

// Standard output and input pass bytes unchanged (no CR LF translation).
void UseBinaryStandardStreams();

// An exclusive lock on the folder `path`, held until UnlockFolder: one holder
// at a time across processes, and nothing made to hold it. Null when it
// cannot be had. POSIX only: the Citrix Workspace app for Linux's
// module.ini is edited under its folder's.
struct FolderLock;
FolderLock* LockFolder(const std::string& path);
void UnlockFolder(FolderLock* lock);

// Whether the file `path` really lies inside `folder`, links followed
// (*real: the file's real path, for words). False when either cannot be
// resolved. Windows: true (a link in the module's folder needs an
// administrator there).
bool LiesInside(const std::string& path, const std::string& folder, std::string* real);

// `to` takes the owner and group of `from` (a file replaced whole keeps
// them); true where it did, or where files have no such owner (Windows).
bool CopyFileOwner(const std::string& from, const std::string& to);

}  // namespace platform
