#include "console.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

void prompt(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
    std::getchar();
}

void showProgress(std::uint32_t address, std::uint32_t times) {
    std::array<char, 16> line;
    int length = std::snprintf(line.data(), line.size(), "%4x\r", static_cast<unsigned>(address));
    // A console pays for every write, and the writer repeats the line once
    // per byte it takes from the image.
    std::array<char, 4096 * 4> lines;
    std::size_t perWrite = lines.size() / static_cast<std::size_t>(length);
    for (std::size_t i = 0; i < perWrite && i < times; ++i)
        std::memcpy(lines.data() + i * length, line.data(), static_cast<std::size_t>(length));
    while (times > 0) {
        std::size_t count = times < perWrite ? times : perWrite;
        std::fwrite(lines.data(), static_cast<std::size_t>(length), count, stdout);
        times -= static_cast<std::uint32_t>(count);
    }
    std::fflush(stdout);
}

int reportFailure(const char* line) {
    std::fputs(line, stderr);
    std::fflush(stderr);
    return 1;
}

int reportArgumentFailure(const char* before, const ArgChar* argument, const char* after) {
    std::fputs(before, stderr);
    writeArgument(stderr, argument);
    return reportFailure(after);
}

int reportFileFailure(const char* what, const ArgChar* path, int error) {
    // The C library's words for EBUSY ("Resource device" in Windows' own,
    // "Device or resource busy" in Wine's) name no other program.
    if (error == fileInUse) return reportFileProblem(what, path, "it is in use by another program");
    return reportFileProblem(what, path, std::strerror(error));
}

int reportFileProblem(const char* what, const ArgChar* path, const char* reason) {
    std::array<char, 16> before;
    std::snprintf(before.data(), before.size(), "Can't %s ", what);
    std::array<char, 256> after;
    std::snprintf(after.data(), after.size(), ": %s\n", reason);
    return reportArgumentFailure(before.data(), path, after.data());
}

bool stdoutWritten(const char* what) {
    if (startedWithoutStdout())
        errno = EBADF;
    else if (flushFile(stdout))
        return true;
    std::array<char, 256> line;
    std::snprintf(line.data(), line.size(), "Can't write %s: %s\n", what, std::strerror(errno));
    reportFailure(line.data());
    return false;
}

InfoAnswer answerInfo(const ArgChar* first, const char* program, const char* usage) {
    const char* what = "the usage line";
    if (argumentIs(first, "--help")) {
        std::printf("usage: %s %s\n", program, usage);
    } else if (argumentIs(first, "--version")) {
        what = "the version line";
        std::printf("%s %s\n", program, ZB_VERSION);
    } else {
        return InfoAnswer::none;
    }
    return stdoutWritten(what) ? InfoAnswer::given : InfoAnswer::unwritten;
}

void printErrorLine() { reportFailure(errorText); }
