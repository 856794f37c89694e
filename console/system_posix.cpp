#include "system.h"

#include "pathtext.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

bool isSeparator(ArgChar c) { return c == '/'; }

namespace {

bool stdoutMissing = false;

}  // namespace

void guardStandardStreams() {
    // Lowest number first, so each open lands on the one that is missing.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            stdoutMissing = stdoutMissing || fd == STDOUT_FILENO;
            open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Past a file size limit (ulimit -f) the write fails with its reason,
    // instead of killing the program with a dump's new file left behind.
    std::signal(SIGXFSZ, SIG_IGN);
}

bool startedWithoutStdout() { return stdoutMissing; }

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
