// What the programs need of the system around them: their arguments, the
// files they are given, and standard streams they can rely on.
#pragma once

#include <array>
#include <cerrno>
#include <cstddef>
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

// Windows refuses to replace, and often to write, a file that another
// program holds open: errno is then this, and the user is told so. Other
// systems let a file be replaced and written whoever has it open.
#if defined(_WIN32)
constexpr int fileInUse = EBUSY;
#else
constexpr int fileInUse = -1;
#endif

// Opens /dev/null on any standard stream the program was started without.
// Otherwise the next file opened takes its number: the image would answer
// the prompts and lose bytes to them, or messages would land in a dump.
// A reader of standard output that goes away, or a file that reaches the
// size limit, makes the writes fail instead of killing the program in the
// middle of a block.
void guardStandardStreams();

// Whether the program was started without standard output. The null device
// that takes its place swallows every line: a line meant for a reader there
// (a verdict, a usage line) reaches no one, and must not pass for written.
bool startedWithoutStdout();

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

// Whether a path names something already, a file or not. False with errno
// set when it does not, or cannot be looked at.
bool pathExists(const ArgChar* path);

// A file on a disk, the only kind that is replaced by a new one; a pipe or a
// device is written where it is.
bool isRegularFile(std::FILE* file);

// A path as the system takes it, room for the longest.
constexpr std::size_t pathRoom = 4096;
using PathText = std::array<ArgChar, pathRoom>;

// The file a path names, each symbolic link on the way followed (to where it
// points, even if nothing is there yet), so that replacing the file leaves a
// link a link. Where links are not followed, the path itself. False with
// errno set.
bool followLinks(const ArgChar* path, PathText& target);

// Whether an open file is the one at `path`, and not another that took its
// name since, or something the system only shows under a made-up one.
bool isFileAt(std::FILE* file, const PathText& path);

// Whether the folder `path` would be made in exists and takes new files.
// False with errno set.
bool folderTakesFiles(const PathText& path);

// A new, empty file beside `path`, in its folder, so that it can later be
// renamed over it in one step: its name goes to `fresh`. It gets what any
// new file gets there (what the umask or the folder's default ACL leaves).
// Null, errno set.
std::FILE* createBeside(const PathText& path, PathText& fresh);

// Gives a new file all that `earlier` has besides its bytes: its owner and
// group, its permission bits, its ACL and other extended attributes, so that
// it can take the earlier file's place. False, errno set, when any of it
// could not be given (another owner, a group the user is not in, an
// attribute only the system may set): the earlier file is then to be
// written where it is.
bool carryOver(std::FILE* fresh, std::FILE* earlier);

// An existing file opened for appending, which never empties it, and never
// made anew: a file that is there may be written where creating it would be
// refused (Linux's protected_regular refuses it for another user's file in
// a sticky folder such as /tmp). Null, errno set.
std::FILE* openToAppend(const ArgChar* path);

// An existing file opened for writing over, never made anew: null, errno
// set, where there is none or it may not be written.
std::FILE* openToRewrite(const PathText& path);

// Hands the system what the C library still holds of a stream. False, with
// errno set, when that or any earlier write of the stream failed: a full
// disk often shows only here, and some C runtimes lose a failed flush inside
// fclose, so it is asked for on its own first.
bool flushFile(std::FILE* file);

// Writes out what the C library and the system still hold of a file, so
// that it is on the disk before it takes another file's name. False with
// errno set.
bool syncFile(std::FILE* file);

// Puts `fresh` in the place of `path` in one step that lasts once it is
// done: `path` is either what it was or all of `fresh`. False with errno set
// and `fresh` still there.
bool replaceWith(const PathText& fresh, const PathText& path);

void removeFile(const PathText& path);

// Writes an argument as it was given: on Windows, wide characters go to a
// console as they are and elsewhere as UTF-8.
void writeArgument(std::FILE* stream, const ArgChar* text);
