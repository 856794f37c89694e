// The files the programs are given, opened before the board is touched, or
// refused with the reason on stderr ("Can't <what> <path>: <reason>").
#pragma once

#include "system.h"

#include <cstdio>

// The image, for reading. A directory opens for reading on some systems and
// fails only at the first read, by which time the operator has fitted the
// chip. A file that is also a standard stream would answer the prompts with
// the image's bytes, or take in the progress line while it is burned.
std::FILE* openImage(const ArgChar* path);

// A dump, for appending, which never empties it: an earlier dump stays whole
// until the board is known to answer. One that is also a standard stream
// would take in the prompt and the progress line, or eat the answer to it.
std::FILE* openOutput(const ArgChar* path);
