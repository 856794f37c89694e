#include "system.h"

#include "pathtext.h"

// For the 128-bit file ids; a Windows without them answers the call with a
// failure, and the older 64-bit index is used.
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0602
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0602
#endif

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

// A drive letter's colon ends a folder's part as the slashes do.
bool isSeparator(ArgChar c) { return c == '/' || c == '\\' || c == ':'; }

namespace {

// The C library's words for the few failures a file operation meets.
int errnoOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
            return EACCES;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return fileInUse;
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

bool stdoutMissing = false;

}  // namespace

// A program started without a standard handle has no file behind the C
// library's stream, and later files never take its number.
void guardStandardStreams() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    stdoutMissing = out == nullptr || out == INVALID_HANDLE_VALUE;
}

bool startedWithoutStdout() { return stdoutMissing; }

std::FILE* openFile(const ArgChar* path, const char* mode) {
    std::array<wchar_t, 4> wideMode{};
    for (std::size_t i = 0; mode[i] != '\0' && i + 1 < wideMode.size(); ++i) wideMode[i] = mode[i];
    std::FILE* file = _wfopen(path, wideMode.data());
    // The C library calls a file that another program holds a permission
    // problem, and the user would look for the wrong cause.
    if (!file && (_doserrno == ERROR_SHARING_VIOLATION || _doserrno == ERROR_LOCK_VIOLATION)) errno = fileInUse;
    return file;
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
    if (length == 0 || length >= final.size()) return true;
    // That name is the long form, \\?\C:\…; where no link was on the way,
    // the path stays as the user gave it, so that a dump kept beside it is
    // named to them as they know the folder. Only the long form reaches past
    // MAX_PATH, which the new file's longer name must not.
    constexpr std::size_t longPrefix = 4;
    PathText full;
    DWORD fullLength = GetFullPathNameW(path, static_cast<DWORD>(full.size()), full.data(), nullptr);
    bool asGiven = std::wcsncmp(final.data(), L"\\\\?\\", longPrefix) == 0 && fullLength == length - longPrefix &&
                fullLength + freshNameAdded < MAX_PATH &&
                CompareStringOrdinal(final.data() + longPrefix, -1, full.data(), -1, TRUE) == CSTR_EQUAL;
    if (!asGiven) target = final;
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

namespace {

// A stream that writes to an open handle, which it then owns; null, errno
// set, with the handle closed.
std::FILE* writerOf(HANDLE handle) {
    int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_WRONLY | _O_BINARY);
    std::FILE* file = fd == -1 ? nullptr : _wfdopen(fd, L"wb");
    if (!file) {
        int error = errno;
        if (fd == -1) CloseHandle(handle); else _close(fd);
        errno = error;
    }
    return file;
}

}  // namespace

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
        std::FILE* file = writerOf(handle);
        if (!file) {
            int error = errno;
            DeleteFileW(fresh.data());
            errno = error;
        }
        return file;
    }
    errno = EEXIST;
    return nullptr;
}

// The replace below keeps the earlier file's attributes and access rights.
bool carryOver(std::FILE*, std::FILE*) { return true; }

std::FILE* openToAppend(const ArgChar* path) { return openFile(path, "ab"); }

std::FILE* openToRewrite(const PathText& path) {
    // Whoever already has the file open for reading or writing is let be.
    HANDLE handle = CreateFileW(path.data(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errnoOf(GetLastError());
        return nullptr;
    }
    return writerOf(handle);
}

bool syncFile(std::FILE* file) { return flushFile(file) && _commit(_fileno(file)) == 0; }

bool replaceWith(const PathText& fresh, const PathText& path) {
    // Nothing takes the name of a file that another program holds without
    // letting it be deleted. Asked first, because Wine's ReplaceFileW makes
    // an empty rf….tmp beside it to move it aside to, and leaves that behind
    // when the move is refused.
    HANDLE earlier = CreateFileW(path.data(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (earlier == INVALID_HANDLE_VALUE && errnoOf(GetLastError()) == fileInUse) {
        errno = fileInUse;
        return false;
    }
    if (earlier != INVALID_HANDLE_VALUE) CloseHandle(earlier);
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
