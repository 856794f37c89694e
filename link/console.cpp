#include "console.h"

#include <cstdio>
#include <cstring>

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
