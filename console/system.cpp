#include "system.h"

#include "pathtext.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>

bool argumentIs(const ArgChar* argument, const char* text) {
    for (; *text != '\0'; ++argument, ++text)
        if (*argument != static_cast<ArgChar>(*text)) return false;
    return *argument == '\0';
}

bool flushFile(std::FILE* file) { return std::fflush(file) == 0 && !std::ferror(file); }

std::size_t textLength(const ArgChar* text) {
    std::size_t length = 0;
    while (text[length] != '\0') ++length;
    return length;
}

std::size_t nameStart(const ArgChar* path) {
    std::size_t start = 0;
    for (std::size_t i = 0; path[i] != '\0'; ++i)
        if (isSeparator(path[i])) start = i + 1;
    return start;
}

bool putText(PathText& path, std::size_t& at, const ArgChar* text, std::size_t count) {
    if (at + count >= path.size()) {
        errno = ENAMETOOLONG;
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) path[at++] = text[i];
    path[at] = '\0';
    return true;
}

void folderOf(const PathText& path, PathText& folder) {
    std::size_t start = nameStart(path.data());
    std::size_t at = 0;
    static constexpr ArgChar here[] = {'.', '\0'};
    putText(folder, at, start == 0 ? here : path.data(), start == 0 ? 1 : start);
}

// "NAME.chipdump-XXXXXX" beside NAME: what a dump that was killed or lost
// its power leaves is in plain sight, next to the file it was meant for,
// and says which program left it. Only so much of NAME is kept that the
// whole name stays within what every file system takes.
bool freshName(const PathText& path, std::uint64_t& seed, PathText& fresh) {
    constexpr std::size_t keptName = 200;
    std::size_t start = nameStart(path.data());
    std::size_t nameLength = textLength(path.data() + start);
    std::size_t at = 0;
    if (!putText(fresh, at, path.data(), start) ||
        !putText(fresh, at, path.data() + start, nameLength < keptName ? nameLength : keptName) ||
        !putText(fresh, at, freshMark, sizeof freshMark / sizeof freshMark[0] - 1))
        return false;
    std::array<ArgChar, freshDrawn> suffix;
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    std::uint64_t digits = seed >> 16;
    for (ArgChar& c : suffix) {
        c = static_cast<ArgChar>("0123456789abcdefghijklmnopqrstuvwxyz"[digits % 36]);
        digits /= 36;
    }
    return putText(fresh, at, suffix.data(), suffix.size());
}
