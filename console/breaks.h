// The operator's break: Ctrl+C or Ctrl+\ (quit), a kill, or the terminal
// going away. While a program copies blocks, a break must not cut one in
// half: the board counts addresses by link bytes, so a block cut short
// leaves it out of step.
#pragma once

#include <csignal>

// Set by OnBreak, read by a copy once per block.
extern volatile std::sig_atomic_t exitNow;

extern "C" void OnBreak(int signalNumber);

// From here until releaseBreak, a break sets exitNow instead of ending the
// program, and cuts a blocked read or write short (not on Windows, where
// the handler runs beside the blocked call). A signal the program was
// started with ignored (nohup, a shell's trap '' HUP) stays ignored.
void catchBreak();

// Each break signal does again what it did before catchBreak: at a prompt,
// Ctrl+C ends the program at once.
void releaseBreak();
