// Reading the chip over the reader's link. With its pins as inputs the board
// is sampled continuously at 16 x baud, and each ROM address is on the pins
// for two samples: the first is taken while the lines still settle after
// the counter stepped, the second holds the byte.
#pragma once

#include "devicelink.h"

#include <array>
#include <cstdint>

// Once the operator has fitted the chip and pushed ADDRESS RESET: drops what
// the pins picked up meanwhile and restarts the input, so that sampling
// starts afresh at address 0. Returns 1 when the board refused; the refusal
// has no line of its own.
int startSampling(FT_HANDLE device);

// The settled byte of each address of one block.
using Stretch = std::array<std::uint8_t, addressesPerBlock>;

// What the next block is to bring: how many of its addresses are wanted
// (a last one may want fewer than a block's, or none), and whether it is the
// last block.
struct StretchPlan {
    std::uint32_t addresses;
    bool last;
};

// The plan for the first `size` addresses (one at least): a last stretch
// shorter than a block settled as far as it goes.
constexpr StretchPlan stretchOfSize(std::uint32_t size, std::uint32_t address) {
    std::uint32_t left = size - address;
    return {left < addressesPerBlock ? left : addressesPerBlock, left <= addressesPerBlock};
}

// Receives one block per stretch of 2048 addresses, each once its plan is
// made, and hands its settled bytes on. plan(address, next) and
// settle(address, stretch, count) return End::goOn, or the end they came
// to; the loop's own are End::receiveFailed and, after the last block,
// End::done. The plan is where the progress line goes: it may wait for an
// image still coming down a pipe. A block that did not fully come in is
// never settled: the board's counter and the samples are out of step from
// there on.
template <typename End, typename Plan, typename Settle>
End sampleChip(FT_HANDLE device, Plan plan, Settle settle) {
    std::array<std::uint8_t, linkBlockSize> block;
    Stretch settled;
    for (std::uint32_t address = 0;; address += addressesPerBlock) {
        StretchPlan next{0, true};
        if (End end = plan(address, next); end != End::goOn) return end;
        if (inUSB(device, block.data(), linkBlockSize) != 0) return End::receiveFailed;
        for (std::uint32_t j = 0; j < next.addresses; ++j) settled[j] = block[2 * j + 1];
        if (End end = settle(address, static_cast<const Stretch&>(settled), next.addresses); end != End::goOn)
            return end;
        if (next.last) return End::done;
    }
}
