// The device link: opens the board by its description, sets it up for one
// direction, and moves one link block at a time. It keeps no state: the
// caller owns the handle and the buffer.
#pragma once

#include "d2xx.h"

#include <cstdint>

struct LinkSettings {
    std::uint32_t baudRate;
    std::uint8_t pinMask;  // a 1 bit makes that data pin an output
    std::uint8_t bitMode;
};

// In asynchronous bit-bang the pins change (or are sampled) at 16 x baud.
// 1200 baud holds each byte long enough to program an EPROM cell; the reader
// only has to outpace the board's address counter.
constexpr LinkSettings writerLink{1200, 0xFF, d2xx::modeAsyncBitBang};
constexpr LinkSettings readerLink{9600, 0x00, d2xx::modeAsyncBitBang};

constexpr char deviceDescription[] = "Zerbanit";

// The board steps its address counter once per two link bytes.
constexpr std::uint32_t linkBlockSize = 4096;
constexpr std::uint32_t addressesPerBlock = linkBlockSize / 2;

// Each returns 0 on success, 1 after printing its own line on stderr.
// initUSB closes a device it opened before reporting a later failure.
int initUSB(FT_HANDLE* handle, const LinkSettings& settings);
int outUSB(FT_HANDLE handle, std::uint8_t* buffer, std::uint32_t count);
int inUSB(FT_HANDLE handle, std::uint8_t* buffer, std::uint32_t count);
