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

}  // namespace

std::FILE* openImage(const ArgChar* path) {
    if (isDirectory(path)) {
        reportFileFailure("read", path, EISDIR);
        return nullptr;
    }
    return openRefusingStreams(path, "rb", "read");
}

std::FILE* openOutput(const ArgChar* path) { return openRefusingStreams(path, "ab", "write"); }
