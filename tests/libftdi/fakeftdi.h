// A model of libftdi1 and the FTDI chips behind it, linked into the unit
// test in the library's place. It keeps what the real library and chip
// would: which devices are attached, the bit-bang flag in the context and
// the x4 it puts on the baud rate, the divisor the chip ends up with, and
// what the chip answers to each read. Time is the fake's own: the module's
// monotonic clock is wrapped, and each read request costs the chip's latency
// period, so a five-second silence takes no time at all.
#pragma once

#include <array>
#include <cstdint>

namespace fake {

struct Device {
    int product;
    const char* description;
    int openError;  // 0: opens; else what ftdi_usb_open_desc answers on reaching it
};

// What the chip does for a stretch of read requests.
struct ReadStep {
    int bytes;     // this many samples, handed over at most `size` per request
    int silentMs;  // empty answers, one per latency period, for this long
    int error;     // one request fails with this libusb code
};

constexpr int latencyMs = 16;  // the chip's default latency timer
constexpr int runawayReads = 100000;

struct Library {
    bool newFails;  // libusb could not start

    std::array<Device, 4> devices;
    int deviceCount;
    std::array<int, 8> productsSearched;
    int searches;
    int liveContexts;

    // A nonzero value is what the next such call answers.
    int baudError;
    int bitModeError;
    int flushError;
    int writeError;
    int closeError;

    int rateConverted;   // after libftdi's x4, if bit-bang was on
    int divisorEighths;  // the FT232R's baud divisor, in eighths
    unsigned char pinMask;
    unsigned char bitMode;
    int flushedInput;
    int flushedOutput;
    int bytesWritten;

    std::array<ReadStep, 8> script;  // then silence for ever
    int steps;
    int step;
    int stepDone;  // samples handed over or ms spent in the current step
    std::uint8_t nextSample;
    int readCalls;
    std::int64_t nowMs;
};

extern Library ftdi;

void reset();

}  // namespace fake
