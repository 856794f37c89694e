#include "system.h"

#include "pathtext.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/limits.h>
#include <sys/xattr.h>
#endif

bool isSeparator(ArgChar c) { return c == '/'; }

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
        // As any program's new file: the umask, or the folder's default
        // ACL, decides what is left of 0666.
        int fd = open(fresh.data(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
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

#if defined(__linux__)
namespace {

// The new file's attributes made the earlier file's, one at a time, in
// buffers as large as the kernel lets a list of names and a value be.
bool carryAttributes(int from, int to) {
    std::array<char, XATTR_LIST_MAX> names;
    std::array<char, XATTR_SIZE_MAX> value;
    // What the new file got of its own, as a folder's default ACL, goes
    // first where the earlier file lacks it: it could let others in.
    ssize_t length = flistxattr(to, names.data(), names.size());
    if (length < 0 && errno != ENOTSUP) return false;
    for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(std::strlen(names.data() + at)) + 1) {
        const char* name = names.data() + at;
        if (fgetxattr(from, name, nullptr, 0) < 0 && (errno == ENODATA || errno == ENOTSUP) &&
            fremovexattr(to, name) != 0)
            return false;
    }
    // A list longer than the kernel lets anyone read cannot be carried.
    length = flistxattr(from, names.data(), names.size());
    if (length < 0) return errno == ENOTSUP;
    for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(std::strlen(names.data() + at)) + 1) {
        const char* name = names.data() + at;
        ssize_t size = fgetxattr(from, name, value.data(), value.size());
        if (size < 0 && errno == ENODATA) continue;
        if (size < 0 || fsetxattr(to, name, value.data(), static_cast<std::size_t>(size), 0) != 0) return false;
    }
    return true;
}

}  // namespace
#else
// Elsewhere an ACL is no extended attribute to copy: the owner and the mode
// are what is carried.
static bool carryAttributes(int, int) { return true; }
#endif

bool carryOver(std::FILE* fresh, std::FILE* earlier) {
    int to = fileno(fresh);
    int from = fileno(earlier);
    struct stat status;
    // Only root gives a file to another owner, and only a member gives it
    // to a group.
    if (fstat(from, &status) != 0 || fchown(to, status.st_uid, status.st_gid) != 0) return false;
    // Before the attributes: a new mode rewrites an ACL's mask.
    return fchmod(to, status.st_mode & 0777) == 0 && carryAttributes(from, to);
}

std::FILE* openToRewrite(const PathText& path) {
    int fd = open(path.data(), O_WRONLY | O_CLOEXEC);
    if (fd == -1) return nullptr;
    std::FILE* file = fdopen(fd, "wb");
    if (!file) {
        int error = errno;
        close(fd);
        errno = error;
    }
    return file;
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
