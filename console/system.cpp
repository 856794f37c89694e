#include "system.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <sys/stat.h>

#if defined(_WIN32)
// For the 128-bit file ids; a Windows without them answers the call with a
// failure, and the older 64-bit index is used.
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0602
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0602
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <time.h>
#include <unistd.h>
#endif

bool argumentIs(const ArgChar* argument, const char* text) {
    for (; *text != '\0'; ++argument, ++text)
        if (*argument != static_cast<ArgChar>(*text)) return false;
    return *argument == '\0';
}

bool flushFile(std::FILE* file) { return std::fflush(file) == 0 && !std::ferror(file); }

namespace {

bool isSeparator(ArgChar c) {
#if defined(_WIN32)
    return c == '/' || c == '\\' || c == ':';
#else
    return c == '/';
#endif
}

std::size_t textLength(const ArgChar* text) {
    std::size_t length = 0;
    while (text[length] != '\0') ++length;
    return length;
}

// Where the last part of a path, the file's own name, starts.
std::size_t nameStart(const ArgChar* path) {
    std::size_t start = 0;
    for (std::size_t i = 0; path[i] != '\0'; ++i)
        if (isSeparator(path[i])) start = i + 1;
    return start;
}

// Puts `count` characters of `text` at `at`, and the end of the text after
// them; false, with errno set, when they do not fit.
bool putText(PathText& path, std::size_t& at, const ArgChar* text, std::size_t count) {
    if (at + count >= path.size()) {
        errno = ENAMETOOLONG;
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) path[at++] = text[i];
    path[at] = '\0';
    return true;
}

// The folder a path's file is in, "." for a bare name.
void folderOf(const PathText& path, PathText& folder) {
    std::size_t start = nameStart(path.data());
    std::size_t at = 0;
    static constexpr ArgChar here[] = {'.', '\0'};
    putText(folder, at, start == 0 ? here : path.data(), start == 0 ? 1 : start);
}

// ".NAME.XXXXXX" beside NAME: hidden from a plain ls, and plainly a dump
// under way to anyone who sees it. Only so much of NAME is kept that the
// whole name stays within what every file system takes.
bool freshName(const PathText& path, std::uint64_t& seed, PathText& fresh) {
    constexpr std::size_t keptName = 200;
    constexpr std::size_t suffixLength = 6;
    static constexpr ArgChar dot[] = {'.', '\0'};
    std::size_t start = nameStart(path.data());
    std::size_t nameLength = textLength(path.data() + start);
    std::size_t at = 0;
    if (!putText(fresh, at, path.data(), start) || !putText(fresh, at, dot, 1) ||
        !putText(fresh, at, path.data() + start, nameLength < keptName ? nameLength : keptName) ||
        !putText(fresh, at, dot, 1))
        return false;
    std::array<ArgChar, suffixLength> suffix;
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    std::uint64_t digits = seed >> 16;
    for (ArgChar& c : suffix) {
        c = static_cast<ArgChar>("0123456789abcdefghijklmnopqrstuvwxyz"[digits % 36]);
        digits /= 36;
    }
    return putText(fresh, at, suffix.data(), suffix.size());
}

// Names already taken beside the output are passed over; so many in a row
// mean something else is wrong.
constexpr int freshNameTries = 100;

}  // namespace

#if defined(_WIN32)

namespace {

// The C library's words for the few failures a file operation meets.
int errnoOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        default:
            return EIO;
    }
}

}  // namespace

void guardStandardStreams() {}

std::FILE* openFile(const ArgChar* path, const char* mode) {
    std::array<wchar_t, 4> wideMode{};
    for (std::size_t i = 0; mode[i] != '\0' && i + 1 < wideMode.size(); ++i) wideMode[i] = mode[i];
    return _wfopen(path, wideMode.data());
}

bool isDirectory(const ArgChar* path) {
    struct _stat status;
    return _wstat(path, &status) == 0 && (status.st_mode & _S_IFMT) == _S_IFDIR;
}

struct DiskFileId {
    std::uint64_t volume;  // 0: not known
    std::array<std::uint8_t, 16> file;
};

// Only files on a disk have an identity to compare; a console or the NUL
// device has none. Windows 8 and later give every handle the 128-bit id;
// older ones only the 64-bit index. Wine gives a standard handle that came
// from a Unix descriptor the id but a volume of 0.
bool diskFileId(int fd, DiskFileId& id) {
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (GetFileType(handle) != FILE_TYPE_DISK) return false;
    id = DiskFileId{};
    FILE_ID_INFO info;
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &info, sizeof info)) {
        id.volume = info.VolumeSerialNumber;
        std::memcpy(id.file.data(), info.FileId.Identifier, id.file.size());
        return true;
    }
    BY_HANDLE_FILE_INFORMATION older;
    if (!GetFileInformationByHandle(handle, &older)) return false;
    id.volume = older.dwVolumeSerialNumber;
    std::uint64_t index = static_cast<std::uint64_t>(older.nFileIndexHigh) << 32 | older.nFileIndexLow;
    std::memcpy(id.file.data(), &index, sizeof index);
    return true;
}

int standardStreamOf(std::FILE* file) {
    DiskFileId opened;
    if (!diskFileId(_fileno(file), opened)) return -1;
    for (int fd = 0; fd <= 2; ++fd) {
        DiskFileId stream;
        if (diskFileId(fd, stream) && stream.file == opened.file &&
            (stream.volume == opened.volume || stream.volume == 0 || opened.volume == 0))
            return fd;
    }
    return -1;
}

bool emptyFile(std::FILE* file) {
    int fd = _fileno(file);
    if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(fd))) != FILE_TYPE_DISK) return true;
    return _chsize(fd, 0) == 0;
}

void writeArgument(std::FILE* stream, const ArgChar* text) {
    std::fflush(stream);
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    std::size_t length = std::wcslen(text);
    DWORD consoleMode = 0;
    if (GetConsoleMode(handle, &consoleMode)) {
        DWORD written = 0;
        WriteConsoleW(handle, text, static_cast<DWORD>(length), &written, nullptr);
        return;
    }
    // Three bytes of UTF-8 at most for each UTF-16 unit; a chunk never ends
    // between the two halves of a surrogate pair.
    constexpr std::size_t chunkUnits = 256;
    std::array<char, 3 * chunkUnits> bytes;
    while (length > 0) {
        bool more = length > chunkUnits;
        std::size_t units = more ? chunkUnits : length;
        if (more && IS_HIGH_SURROGATE(text[units - 1])) --units;
        int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), bytes.data(),
                                    static_cast<int>(bytes.size()), nullptr, nullptr);
        std::fwrite(bytes.data(), 1, static_cast<std::size_t>(n), stream);
        text += units;
        length -= units;
    }
}

// Any file at all, a folder or a device such as NUL among them, opened for
// nothing but to be looked at, and in no one's way.
HANDLE openToLookAt(const ArgChar* path) {
    return CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool pathExists(const ArgChar* path) {
    HANDLE handle = openToLookAt(path);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errnoOf(GetLastError());
        return false;
    }
    CloseHandle(handle);
    return true;
}

bool isRegularFile(std::FILE* file) {
    return GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) == FILE_TYPE_DISK;
}

bool followLinks(const ArgChar* path, PathText& target) {
    std::size_t at = 0;
    if (!putText(target, at, path, textLength(path))) return false;
    // Where a file is there, the system names what it really is, links
    // and junctions followed; a name that does not resolve is taken as it is.
    HANDLE handle = openToLookAt(path);
    if (handle == INVALID_HANDLE_VALUE) return true;
    PathText final;
    DWORD length = GetFinalPathNameByHandleW(handle, final.data(), static_cast<DWORD>(final.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(handle);
    if (length > 0 && length < final.size()) target = final;
    return true;
}

bool isFileAt(std::FILE*, const PathText&) { return true; }

bool folderTakesFiles(const PathText& path) {
    PathText folder;
    folderOf(path, folder);
    DWORD attributes = GetFileAttributesW(folder.data());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        errno = errnoOf(GetLastError());
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

std::FILE* createBeside(const PathText& path, PathText& fresh) {
    std::uint64_t seed = GetCurrentProcessId() ^ GetTickCount64();
    for (int i = 0; i < freshNameTries; ++i) {
        if (!freshName(path, seed, fresh)) return nullptr;
        HANDLE handle =
            CreateFileW(fresh.data(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS) continue;
            errno = errnoOf(error);
            return nullptr;
        }
        int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_WRONLY | _O_BINARY);
        std::FILE* file = fd == -1 ? nullptr : _wfdopen(fd, L"wb");
        if (!file) {
            int error = errno;
            if (fd == -1) CloseHandle(handle); else _close(fd);
            DeleteFileW(fresh.data());
            errno = error;
        }
        return file;
    }
    errno = EEXIST;
    return nullptr;
}

// The replace below keeps the earlier file's attributes and access rights.
bool takeModeOf(std::FILE*, std::FILE*) { return true; }

bool syncFile(std::FILE* file) { return flushFile(file) && _commit(_fileno(file)) == 0; }

bool replaceWith(const PathText& fresh, const PathText& path) {
    // An earlier file keeps its attributes, access rights and short name, by
    // which older scripts may know it. Where that cannot be done, a plain
    // move, written through before it returns.
    if (GetFileAttributesW(path.data()) != INVALID_FILE_ATTRIBUTES &&
        ReplaceFileW(path.data(), fresh.data(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr))
        return true;
    if (MoveFileExW(fresh.data(), path.data(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    errno = errnoOf(GetLastError());
    return false;
}

void removeFile(const PathText& path) { DeleteFileW(path.data()); }

#else

void guardStandardStreams() {
    // Lowest number first, so each open lands on the one that is missing.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
    std::signal(SIGPIPE, SIG_IGN);
}

std::FILE* openFile(const ArgChar* path, const char* mode) { return std::fopen(path, mode); }

bool isDirectory(const ArgChar* path) {
    struct stat status;
    return stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

int standardStreamOf(std::FILE* file) {
    struct stat opened;
    if (fstat(fileno(file), &opened) != 0) return -1;
    struct stat null;
    if (S_ISCHR(opened.st_mode) && stat("/dev/null", &null) == 0 && opened.st_rdev == null.st_rdev) return -1;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        struct stat stream;
        if (fstat(fd, &stream) == 0 && stream.st_dev == opened.st_dev && stream.st_ino == opened.st_ino) return fd;
    }
    return -1;
}

bool emptyFile(std::FILE* file) {
    struct stat status;
    int fd = fileno(file);
    if (fstat(fd, &status) != 0) return false;
    return !S_ISREG(status.st_mode) || ftruncate(fd, 0) == 0;
}

void writeArgument(std::FILE* stream, const ArgChar* text) { std::fputs(text, stream); }

bool pathExists(const ArgChar* path) {
    struct stat status;
    return stat(path, &status) == 0;
}

bool isRegularFile(std::FILE* file) {
    struct stat status;
    return fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode);
}

bool followLinks(const ArgChar* path, PathText& target) {
    std::size_t length = 0;
    if (!putText(target, length, path, textLength(path))) return false;
    // As many links in a row as the kernel itself follows.
    for (int hop = 0; hop < 40; ++hop) {
        struct stat status;
        if (lstat(target.data(), &status) != 0) return errno == ENOENT;
        if (!S_ISLNK(status.st_mode)) return true;
        PathText link;
        ssize_t count = readlink(target.data(), link.data(), link.size() - 1);
        if (count < 0) return false;
        // A relative link is read from the folder the link is in.
        std::size_t at = link[0] == '/' ? 0 : nameStart(target.data());
        if (!putText(target, at, link.data(), static_cast<std::size_t>(count))) return false;
    }
    errno = ELOOP;
    return false;
}

bool isFileAt(std::FILE* file, const PathText& path) {
    struct stat opened;
    struct stat named;
    return fstat(fileno(file), &opened) == 0 && stat(path.data(), &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino;
}

bool folderTakesFiles(const PathText& path) {
    PathText folder;
    folderOf(path, folder);
    return access(folder.data(), W_OK | X_OK) == 0;
}

std::FILE* createBeside(const PathText& path, PathText& fresh) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::uint64_t seed = static_cast<std::uint64_t>(getpid()) << 32 ^ static_cast<std::uint64_t>(now.tv_nsec);
    for (int i = 0; i < freshNameTries; ++i) {
        if (!freshName(path, seed, fresh)) return nullptr;
        // Readable by its owner alone until it is given its final mode.
        int fd = open(fresh.data(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd == -1 && errno == EEXIST) continue;
        if (fd == -1) return nullptr;
        std::FILE* file = fdopen(fd, "wb");
        if (!file) {
            int error = errno;
            close(fd);
            unlink(fresh.data());
            errno = error;
        }
        return file;
    }
    return nullptr;
}

bool takeModeOf(std::FILE* fresh, std::FILE* earlier) {
    int fd = fileno(fresh);
    mode_t mode = 0;
    if (earlier) {
        struct stat status;
        if (fstat(fileno(earlier), &status) != 0) return false;
        // Only root gives a file to another owner, and only a member gives
        // it to a group: otherwise the new dump is the user's, as any file
        // the user writes.
        bool given = fchown(fd, status.st_uid, status.st_gid) == 0 ||
                     fchown(fd, static_cast<uid_t>(-1), status.st_gid) == 0;
        static_cast<void>(given);
        mode = status.st_mode & 0777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    return fchmod(fd, mode) == 0;
}

bool syncFile(std::FILE* file) { return flushFile(file) && fsync(fileno(file)) == 0; }

bool replaceWith(const PathText& fresh, const PathText& path) {
    if (rename(fresh.data(), path.data()) != 0) return false;
    // The rename is only as lasting as the folder that records it. The dump
    // is in place either way: a folder that cannot be synced (one the user
    // may not read, a file system that does not) leaves it as rename did.
    PathText folder;
    folderOf(path, folder);
    int fd = open(folder.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd != -1) {
        fsync(fd);
        close(fd);
    }
    return true;
}

void removeFile(const PathText& path) { unlink(path.data()); }

#endif
