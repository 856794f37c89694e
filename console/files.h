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

// A dump's output. A file on a disk, or one not there yet, is replaced only
// by a whole new dump: the samples go to a new file beside it, which takes
// its name once the last block is in, or, where it cannot carry all that
// the output has or may not take its name, is copied into the output. A
// dump that fails or is stopped leaves it as it was. A pipe or a device,
// and a file in a folder the user may not add to, is written where it is,
// and keeps what reached it.
struct DumpFile {
    std::FILE* earlier = nullptr;  // the output as it is, opened for appending, which never empties it
    std::FILE* file = nullptr;     // where the samples go
    bool inPlace = false;
    bool carried = false;  // the new file has all the output had besides its bytes
    bool kept = false;     // a whole dump reached neither way: the new file holds it
    PathText target;       // the output, symbolic links followed
    PathText fresh;        // the new file beside it
};

// Before the board is touched: refuses, with the reason on stderr, an output
// that cannot be opened for writing, or that is also a standard stream (it
// would take in the prompt and the progress line, or eat the answer to it).
// Nothing is made or changed.
bool openDump(const ArgChar* path, DumpFile& dump);

// Once the board samples: the new file beside the output, or the output
// itself emptied when it is written in place. False with errno set.
bool startDump(DumpFile& dump);

// A whole dump takes the output's place, or is copied into it; anything
// less is removed and the output left as it was. False, errno set, when a
// whole dump reached the output neither way (the new file is then kept,
// with `kept` set), or did not all reach an output written in place.
bool endDump(DumpFile& dump, bool whole);
