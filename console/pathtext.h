// Paths as plain text, for the system layer of each platform: the folder a
// file is in, and the name of a new file beside it. Not for the programs.
#pragma once

#include "system.h"

#include <cstddef>
#include <cstdint>

// Whether a character ends a folder's part of a path on this system.
bool isSeparator(ArgChar c);

std::size_t textLength(const ArgChar* text);

// Where the last part of a path, the file's own name, starts.
std::size_t nameStart(const ArgChar* path);

// Puts `count` characters of `text` at `at`, and the end of the text after
// them; false, with errno set, when they do not fit.
bool putText(PathText& path, std::size_t& at, const ArgChar* text, std::size_t count);

// The folder a path's file is in, "." for a bare name.
void folderOf(const PathText& path, PathText& folder);

// A new file's name is the output's, trimmed to 200 characters at most,
// then the mark and six letters and digits drawn from a seed.
constexpr ArgChar freshMark[] = {'.', 'c', 'h', 'i', 'p', 'd', 'u', 'm', 'p', '-', '\0'};
constexpr std::size_t freshDrawn = 6;
// How much longer a new file's name is than the output's it was not trimmed.
constexpr std::size_t freshNameAdded = sizeof freshMark / sizeof freshMark[0] - 1 + freshDrawn;

// A name for a new file beside `path`, drawn from `seed`.
bool freshName(const PathText& path, std::uint64_t& seed, PathText& fresh);

// Names already taken beside the output are passed over; so many in a row
// mean something else is wrong.
constexpr int freshNameTries = 100;
