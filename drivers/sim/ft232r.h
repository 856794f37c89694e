// The board's FT232R in asynchronous bit-bang mode, as plain state and the
// functions that move it on: its 3 MHz clock and baud-rate divisor, its
// transmit and receive FIFOs, the eight pins between them and the board of
// board.h, the latency timer, its answers to control requests, the bulk
// transfers under way on its two endpoints, and the faults the knobs of
// simboard.h set. It knows no host and reads no clock: usbfront.cpp hands it
// the kernel's transfers, and brings it to the time points it is given.
//
// In bit-bang mode the pins take one byte from the transmit FIFO, or put one
// sample into the receive FIFO, every 1/(16 x baud) s, the baud rate being
// what the divisor the host sent really means. The host's OUT transfers top
// up the 128-byte transmit FIFO and are done once their last byte is in it.
// The 256-byte receive FIFO goes to a waiting IN transfer in 64-byte
// packets, two status bytes and 62 samples each, or in a short packet with
// whatever there is when the latency timer runs out; when it is full and
// nobody reads, sampling stops, and so does the board's address counter.
//
// ADDRESS RESET: the programs set the bit mode, then wait at their prompt
// while the operator pushes the button. So the first request or transfer
// after a bit-mode request finds the reset done. The operator takes far
// longer than the 1.7 ms the reader's receive FIFO needs to fill: by then
// it holds 256 stale samples and has stopped, and sampling starts again at
// address 0 once the host purges it. The writer's first byte after the bit
// mode programs address 0.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace ft232r {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t inEndpoint = 0x81;
constexpr std::uint8_t outEndpoint = 0x02;
constexpr std::uint32_t packetSize = 64;
constexpr std::uint32_t receiveFifoSize = 256;
constexpr std::uint32_t transmitFifoSize = 128;
constexpr std::uint32_t maxTransfers = 64;

// The chip's identity: what it answers to GET_DESCRIPTOR, and so what the
// kernel read from it when it was plugged in.
constexpr std::array<std::uint8_t, 18> deviceDescriptor{
    18, 0x01, 0x00, 0x02,                // USB 2.0
    0x00, 0x00, 0x00, 8,                 // class per interface, 8-byte control packets
    0x03, 0x04, 0x01, 0x60, 0x00, 0x06,  // 0403:6001, release 6.00: an FT232R to libftdi
    1, 2, 3,                             // manufacturer, product, serial number strings
    1};                                  // one configuration
constexpr std::array<std::uint8_t, 32> configurationDescriptor{
    9, 0x02, 32, 0, 1, 1, 0, 0xA0, 45,                   // one interface, bus-powered, 90 mA
    9, 0x04, 0, 0, 2, 0xFF, 0xFF, 0xFF, 2,               // vendor-specific, two endpoints
    7, 0x05, inEndpoint, 0x02, packetSize, 0, 0,         // bulk IN
    7, 0x05, outEndpoint, 0x02, packetSize, 0, 0};       // bulk OUT

template <std::uint32_t N>
struct Fifo {
    std::array<std::uint8_t, N> bytes;
    std::uint32_t first;
    std::uint32_t count;
};

// What the knobs make go wrong (simboard.h); a count of 0 means never.
struct Faults {
    std::uint64_t silentAfter;     // samples since the last purge
    std::uint64_t unplugAfterOut;  // bytes the pins drove since power-up
    std::uint64_t unplugAfterIn;   // samples since the last purge
    std::uint64_t stallAfterOut;   // bytes the chip took from the host
    std::uint64_t pauseAfter;      // samples since the last purge
    std::uint32_t pauseMs;
    bool refuse;
    std::uint8_t refusedRequest;
    std::int32_t refusedValue;  // -1: any wValue
};

enum class TransferState : std::uint8_t { free, waiting, done };

// How a transfer ended, as the host sees it.
enum class End : std::uint8_t {
    ok,
    stall,      // the endpoint answered with a STALL handshake
    noDevice,   // the cable came out
    discarded,  // the host took it back
    invalid,    // a control transfer with no room for its setup packet
};

// A transfer given to the chip: endpoint 0 for a control transfer, which is
// answered at once; a bulk one waits for the chip's own time.
struct Transfer {
    TransferState state;
    std::uint8_t endpoint;
    std::uint8_t* buffer;
    std::uint32_t length;
    std::uint32_t moved;  // OUT: bytes in the transmit FIFO so far; IN: bytes in the buffer
    End end;
    std::uint64_t submitted;  // transfers on an endpoint complete in turn
    std::uint64_t completed;  // and are reaped in the order they completed
};

struct Chip {
    bool unplugged;
    Faults faults;
    std::uint64_t sampledSincePurge;
    std::uint64_t driven;
    std::uint64_t takenFromHost;
    bool outHalted;
    bool pausedSincePurge;
    std::uint64_t pausePeriodsLeft;

    std::uint32_t divisorEighths;  // of the 3 MHz clock
    std::uint8_t bitMode;
    std::uint8_t pinMask;
    std::uint8_t latencyMs;
    bool resetPending;

    Fifo<transmitFifoSize> toPins;
    Fifo<receiveFifoSize> fromPins;
    double pinPeriodsOwed;  // the fraction of a pin period not yet run
    Clock::time_point caughtUp;
    Clock::time_point lastPacket;

    std::array<Transfer, maxTransfers> transfers;
    std::uint64_t submissions;
    std::uint64_t completions;
};

// Power comes on at `now`: the chip's own settings, and the faults the
// knobs set.
void powerUp(Chip& chip, Clock::time_point now);

// Runs the pins, the FIFOs and the latency timer from where the chip was
// to `now`.
void catchUp(Chip& chip, Clock::time_point now);

// Puts a transfer in `slot`, a free one, at `now`. False, and the slot left
// free, when the chip has been unplugged.
bool submit(Chip& chip, Transfer& slot, std::uint8_t endpoint, std::uint8_t* buffer, std::uint32_t length,
            Clock::time_point now);

// Ends a transfer with what it moved; a bulk one gets its line in the log.
void finish(Chip& chip, Transfer& transfer, End end, std::uint32_t moved);

// The host takes back a waiting transfer.
void discard(Chip& chip, Transfer& transfer);

// Answers one control request, its 8-byte setup packet with `room` bytes of
// data stage after it: the bytes it returns, or -1 for a stall. `what` gets
// a few words for the log.
int answer(Chip& chip, const std::uint8_t* setup, std::uint8_t* data, std::uint32_t room, char* what,
           std::size_t whatSize);

// The host clears a halted endpoint.
void clearHalt(Chip& chip, unsigned endpoint);

// The pins take what the transmit FIFO still holds, at once.
void emptyTransmitFifo(Chip& chip);

}  // namespace ft232r
