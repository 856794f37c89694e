// The console forms both programs share: operator prompts, the progress
// line, and the failure lines on stderr.
#pragma once

#include <cstdint>

constexpr char errorText[] = "Error.\n";

// Opens /dev/null on any standard stream the program was started without.
// Otherwise the next file opened takes its number: the image would answer
// the prompts and lose bytes to them, or the prompts would land in a dump.
void guardStandardStreams();

// Prints the prompt with no line end and waits for one character; end of
// input counts as the operator's Return.
void prompt(const char* text);

// "%4x\r": the operator sees the address reached, overwritten in place.
void showProgress(std::uint32_t address);

// Writes one line on stderr and returns 1, the status of a failed step.
int reportFailure(const char* line);

// "Can't <what> <path>: <reason>\n" for a file the program works on.
int reportFileFailure(const char* what, const char* path, int error);

// The general error line that ends every failed run.
void printErrorLine();
