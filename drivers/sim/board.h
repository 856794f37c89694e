// The programmer board itself, whichever way its FTDI chip is reached: an
// address counter the operator resets, an EPROM socket whose cells only go
// from 1 to 0, and the eight data pins between them. One board per process;
// the fronts (simboard.cpp over the D2XX calls, the FT232R of ft232r.cpp
// over USB) decide when the pins are driven or sampled.
//
// Its own knobs (see simboard.h): SIMBOARD_CHIP, SIMBOARD_CHIP_SIZE,
// SIMBOARD_LOG, SIMBOARD_WIRE.
#pragma once

#include <cstdint>

// One line, printf-style, in the SIMBOARD_LOG file.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void boardLog(const char* format, ...);

// An on/off knob of either front: on when set to 1.
bool boardKnob(const char* name);

// Fits the chip of SIMBOARD_CHIP in the socket, an erased one of
// SIMBOARD_CHIP_SIZE bytes if the file does not exist. False when there is
// no chip to be had.
bool boardInsertChip();
void boardRemoveChip();

// The operator's ADDRESS RESET: the next two link bytes, or the next pair
// of samples, are address 0.
void boardAddressReset();

// Bytes the FTDI chip puts on the data pins, in order. SIMBOARD_WIRE gets
// them all; only with the pins as outputs do they reach the EPROM, two per
// address.
void boardDrive(const std::uint8_t* bytes, std::uint32_t count, bool pinsAreOutputs);

// The next `count` samples of the data pins as inputs.
void boardSample(std::uint8_t* samples, std::uint32_t count);
