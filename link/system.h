// What the programs need of the system around them: their arguments, the
// files they are given, and standard streams they can rely on.
#pragma once

#include <cstdio>

// The Windows programs take their arguments as UTF-16, so a file named in
// any script opens whatever the ANSI code page is.
#if defined(_WIN32)
using ArgChar = wchar_t;
#define PROGRAM_MAIN wmain
#else
using ArgChar = char;
#define PROGRAM_MAIN main
#endif

// Opens /dev/null on any standard stream the program was started without.
// Otherwise the next file opened takes its number: the image would answer
// the prompts and lose bytes to them, or messages would land in a dump.
// A reader of standard output that goes away makes the writes fail instead
// of killing the program in the middle of a block.
void guardStandardStreams();

// Whether an argument is exactly this (ASCII) text.
bool argumentIs(const ArgChar* argument, const char* text);

std::FILE* openFile(const ArgChar* path, const char* mode);

bool isDirectory(const ArgChar* path);

// The standard stream (0 input, 1 output, 2 error) that an open file is
// under another name, or -1. The null device is left out: it holds nothing
// that a prompt or the progress line could spoil.
int standardStreamOf(std::FILE* file);

// Empties a regular file opened for appending; other outputs (a pipe, a
// device) have nothing to empty. Returns false with errno set.
bool emptyFile(std::FILE* file);

// Writes an argument as it was given: on Windows, wide characters go to a
// console as they are and elsewhere as UTF-8.
void writeArgument(std::FILE* stream, const ArgChar* text);
