#include "console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

void guardStandardStreams() {
#if !defined(_WIN32)
    // Lowest number first, so each open lands on the one that is missing.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
#endif
}

void prompt(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
    std::getchar();
}

void showProgress(std::uint32_t address) {
    std::printf("%4x\r", static_cast<unsigned>(address));
    std::fflush(stdout);
}

int reportFailure(const char* line) {
    std::fputs(line, stderr);
    std::fflush(stderr);
    return 1;
}

int reportFileFailure(const char* what, const char* path, int error) {
    std::fprintf(stderr, "Can't %s %s: %s\n", what, path, std::strerror(error));
    std::fflush(stderr);
    return 1;
}

void printErrorLine() { reportFailure(errorText); }
