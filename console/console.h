// The console forms the programs share: operator prompts, the progress
// line, and the failure lines on stderr.
#pragma once

#include "system.h"

#include <cstdint>

constexpr char errorText[] = "Error.\n";

// The readers' prompt, before the board's input is restarted at address 0.
constexpr char readyPrompt[] = "adjust SW setting, set ROM, push ADDRESS RESET, and hit return key!";

// Prints the prompt with no line end and waits for one character; end of
// input counts as the operator's Return.
void prompt(const char* text);

// "%4x\r": the operator sees the address reached, overwritten in place.
// The line is printed `times` times over, in a few writes, however many.
void showProgress(std::uint32_t address, std::uint32_t times = 1);

// Writes one line on stderr and returns 1, the status of a failed step.
int reportFailure(const char* line);

// "<before><argument><after>" on stderr, the argument as it was given.
int reportArgumentFailure(const char* before, const ArgChar* argument, const char* after);

// "Can't <what> <path>: <reason>\n" for a file the program works on, the
// reason the system's words for an errno, or our own.
int reportFileFailure(const char* what, const ArgChar* path, int error);
int reportFileProblem(const char* what, const ArgChar* path, const char* reason);

// Flushes stdout. A line that could not be written there, or had no
// standard output to go to, gets "Can't write <what>: <reason>" on stderr,
// and false: a script that reads the answer must not take nothing for it.
bool stdoutWritten(const char* what);

// "--help" or "--version" as the first argument: "usage: <program> <usage>"
// or "<program> <version>" on stdout, and `given`; a line that could not be
// written there gets its "Can't write" line on stderr, and `unwritten`.
// Anything else: `none`.
enum class InfoAnswer { none, given, unwritten };
InfoAnswer answerInfo(const ArgChar* first, const char* program, const char* usage);

// The general error line that ends every failed run.
void printErrorLine();
