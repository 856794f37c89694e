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
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

bool argumentIs(const ArgChar* argument, const char* text) {
    for (; *text != '\0'; ++argument, ++text)
        if (*argument != static_cast<ArgChar>(*text)) return false;
    return *argument == '\0';
}

#if defined(_WIN32)

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

#endif
