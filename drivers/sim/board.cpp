// The board behind the FTDI chip. The counter steps once per two link
// bytes, or once per two samples: the first sample of an address is taken
// while the lines still settle after the step, the second holds the byte.
#include "board.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::uint32_t defaultChipSize = 65536;

struct Board {
    std::FILE* chip;
    std::uint32_t chipSize;
    std::uint32_t address;
    // Writer side: the first byte seen for the current address.
    bool haveFirstByte;
    std::uint8_t firstByte;
    // Reader side: whether the next sample is the settled one.
    bool nextSampleSettled;
};

Board board;

// Reads (or writes back) the chip bytes of consecutive addresses from
// `first`; the socket wraps around like a chip with fewer address lines.
void chipAccess(std::uint32_t first, std::uint8_t* bytes, std::uint32_t count, bool store) {
    while (count > 0) {
        std::uint32_t at = first % board.chipSize;
        std::uint32_t run = std::min(count, board.chipSize - at);
        std::fseek(board.chip, static_cast<long>(at), SEEK_SET);
        if (store) {
            std::fwrite(bytes, 1, run, board.chip);
        } else if (std::fread(bytes, 1, run, board.chip) != run) {
            std::memset(bytes, 0xFF, run);
        }
        first = at + run;
        bytes += run;
        count -= run;
    }
    if (store) std::fflush(board.chip);
}

// Two link bytes per address: the board programs the cell while both are on
// the pins, then steps its counter.
void programBytes(const std::uint8_t* bytes, std::uint32_t count) {
    std::array<std::uint8_t, 2048> cells;
    std::array<std::uint8_t, 2048> values;
    std::uint32_t i = 0;
    while (i < count) {
        std::uint32_t first = board.address;
        std::uint32_t n = 0;
        for (; i < count && n < values.size(); ++i) {
            if (!board.haveFirstByte) {
                board.haveFirstByte = true;
                board.firstByte = bytes[i];
                continue;
            }
            board.haveFirstByte = false;
            if (bytes[i] != board.firstByte)
                boardLog("glitch at 0x%x: 0x%02x 0x%02x", static_cast<unsigned>((first + n) % board.chipSize),
                         board.firstByte, bytes[i]);
            values[n++] = static_cast<std::uint8_t>(board.firstByte & bytes[i]);
        }
        chipAccess(first, cells.data(), n, false);
        for (std::uint32_t k = 0; k < n; ++k) cells[k] &= values[k];  // an EPROM bit only goes 1 -> 0
        chipAccess(first, cells.data(), n, true);
        board.address = (first + n) % board.chipSize;
    }
}

}  // namespace

// Opened for each line, so the log holds every event up to the moment a
// program ends, however it ends.
void boardLog(const char* format, ...) {
    const char* path = std::getenv("SIMBOARD_LOG");
    if (!path || !*path) return;
    std::FILE* log = std::fopen(path, "a");
    if (!log) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(log, format, args);
    va_end(args);
    std::fputc('\n', log);
    std::fclose(log);
}

bool boardKnob(const char* name) {
    const char* value = std::getenv(name);
    return value && std::strcmp(value, "1") == 0;
}

bool boardInsertChip() {
    const char* path = std::getenv("SIMBOARD_CHIP");
    if (!path || !*path) path = "simboard-chip.bin";
    board.chip = std::fopen(path, "r+b");
    if (!board.chip) {
        // A new socket holds an erased chip.
        const char* size = std::getenv("SIMBOARD_CHIP_SIZE");
        std::uint32_t chipSize = size ? static_cast<std::uint32_t>(std::strtoul(size, nullptr, 0)) : defaultChipSize;
        board.chip = std::fopen(path, "w+b");
        if (!board.chip) return false;
        std::array<std::uint8_t, 4096> erased;
        erased.fill(0xFF);
        for (std::uint32_t done = 0; done < chipSize;) {
            std::uint32_t n = std::min<std::uint32_t>(chipSize - done, erased.size());
            std::fwrite(erased.data(), 1, n, board.chip);
            done += n;
        }
        std::fflush(board.chip);
    }
    std::fseek(board.chip, 0, SEEK_END);
    long size = std::ftell(board.chip);
    board.chipSize = size > 0 ? static_cast<std::uint32_t>(size) : 0;
    return board.chipSize > 0;
}

void boardRemoveChip() {
    if (board.chip) std::fclose(board.chip);
    board = Board{};
}

void boardAddressReset() {
    board.address = 0;
    board.haveFirstByte = false;
    board.nextSampleSettled = false;
}

void boardDrive(const std::uint8_t* bytes, std::uint32_t count, bool pinsAreOutputs) {
    if (const char* path = std::getenv("SIMBOARD_WIRE"); path && *path) {
        if (std::FILE* wire = std::fopen(path, "ab")) {
            std::fwrite(bytes, 1, count, wire);
            std::fclose(wire);
        }
    }
    if (pinsAreOutputs && board.chip) programBytes(bytes, count);
}

void boardSample(std::uint8_t* samples, std::uint32_t count) {
    // Nothing drives the lines of an empty socket: they float high.
    if (!board.chip) {
        std::memset(samples, 0xFF, count);
        return;
    }
    std::array<std::uint8_t, 2048> cells;
    std::uint32_t i = 0;
    while (i < count) {
        std::uint32_t n = std::min<std::uint32_t>(cells.size(), (count - i + 2) / 2);
        chipAccess(board.address, cells.data(), n, false);
        std::uint32_t k = 0;
        while (i < count && k < n) {
            if (!board.nextSampleSettled) {
                samples[i++] = static_cast<std::uint8_t>(~cells[k]);
                board.nextSampleSettled = true;
            } else {
                samples[i++] = cells[k++];
                board.nextSampleSettled = false;
                board.address = (board.address + 1) % board.chipSize;
            }
        }
    }
}
