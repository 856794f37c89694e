#include "files.h"

#include "console.h"

#include <array>
#include <cerrno>

namespace {

constexpr std::array<const char*, 3> streamReasons{"it is also standard input", "it is also standard output",
                                                   "it is also standard error"};

std::FILE* openRefusingStreams(const ArgChar* path, const char* mode, const char* what) {
    std::FILE* file = openFile(path, mode);
    if (!file) {
        reportFileFailure("open", path, errno);
        return nullptr;
    }
    int stream = standardStreamOf(file);
    if (stream < 0) return file;
    std::fclose(file);
    reportFileProblem(what, path, streamReasons[static_cast<std::size_t>(stream)]);
    return nullptr;
}

// The whole dump copied into the output where it is, for an output that
// the new file cannot stand in for.
bool copyInto(const PathText& fresh, const PathText& path) {
    std::FILE* from = openFile(fresh.data(), "rb");
    if (!from) return false;
    std::FILE* to = openToRewrite(path);
    bool copied = to && emptyFile(to);
    std::array<char, 16384> block;
    while (copied) {
        std::size_t count = std::fread(block.data(), 1, block.size(), from);
        if (count == 0) {
            copied = !std::ferror(from);
            break;
        }
        copied = std::fwrite(block.data(), 1, count, to) == count;
    }
    copied = copied && syncFile(to);
    int error = errno;
    if (to && std::fclose(to) != 0 && copied) {
        copied = false;
        error = errno;
    }
    std::fclose(from);
    errno = error;
    return copied;
}

}  // namespace

std::FILE* openImage(const ArgChar* path) {
    if (isDirectory(path)) {
        reportFileFailure("read", path, EISDIR);
        return nullptr;
    }
    return openRefusingStreams(path, "rb", "read");
}

bool openDump(const ArgChar* path, DumpFile& dump) {
    dump = DumpFile{};
    if (pathExists(path)) {
        dump.earlier = openRefusingStreams(path, "ab", "write");
        if (!dump.earlier) return false;
        // /dev/stdout or >(cmd) are links the system makes up on the way to
        // a pipe or a terminal: only a file found again under the name the
        // links lead to is replaced.
        dump.inPlace = !isRegularFile(dump.earlier) || !followLinks(path, dump.target) ||
                       !isFileAt(dump.earlier, dump.target);
        return true;
    }
    if (errno == ENOENT && followLinks(path, dump.target) && folderTakesFiles(dump.target)) return true;
    reportFileFailure("open", path, errno);
    return false;
}

bool startDump(DumpFile& dump) {
    if (!dump.inPlace) {
        dump.file = createBeside(dump.target, dump.fresh);
        if (dump.file) {
            dump.carried = !dump.earlier || carryOver(dump.file, dump.earlier);
            // Windows renames nothing over a file that is still open.
            if (dump.earlier) std::fclose(dump.earlier);
            dump.earlier = nullptr;
            return true;
        }
        // A folder the user may not add to: the output is all there is.
        if (!dump.earlier || (errno != EACCES && errno != EPERM)) return false;
        dump.inPlace = true;
    }
    dump.file = dump.earlier;
    dump.earlier = nullptr;
    return emptyFile(dump.file);
}

bool endDump(DumpFile& dump, bool whole) {
    if (dump.earlier) std::fclose(dump.earlier);
    std::FILE* file = dump.file;
    dump.earlier = nullptr;
    dump.file = nullptr;
    if (!file) return !whole;
    // A new file is on the disk before it takes the output's name, or a
    // power cut could leave the name on an empty file.
    bool written = whole && (dump.inPlace ? flushFile(file) : syncFile(file));
    int error = errno;
    if (std::fclose(file) != 0 && written) {
        written = false;
        error = errno;
    }
    // Once it is whole, the dump is never thrown away: where the new file
    // may not take the output's name, it is copied into the output, and
    // where that fails too, it stays for the user.
    if (!dump.inPlace) {
        bool renamed = written && dump.carried && replaceWith(dump.fresh, dump.target);
        if (written && !renamed && !copyInto(dump.fresh, dump.target)) {
            written = false;
            error = errno;
            dump.kept = true;
        }
        if (!renamed && !dump.kept) removeFile(dump.fresh);
    }
    errno = error;
    return written || !whole;
}
