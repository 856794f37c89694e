// A model of the programmer board behind the D2XX calls. The board has an
// address counter that steps once per two bytes on the link, and an EPROM
// socket whose cells can only be programmed from 1 to 0. In input mode the
// pins are sampled continuously: each address yields a sample taken while
// the board's lines settle, then one of the chip's byte.
#include "simboard.h"

#include "d2xx.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
// The one system call the model needs; windows.h would clash with the
// driver's own DWORD.
extern "C" __declspec(dllimport) void __stdcall Sleep(unsigned long milliseconds);
#else
#include <time.h>
#endif

namespace {

enum Call { opOpen, opBaud, opBitMode, opStop, opRestart, opPurge, opWrite, opRead, opClose, callCount };

constexpr std::array<const char*, callCount> callNames{
    "FT_OpenEx", "FT_SetBaudRate", "FT_SetBitMode", "FT_StopInTask", "FT_RestartInTask",
    "FT_Purge",  "FT_Write",       "FT_Read",       "FT_Close"};

constexpr std::uint32_t defaultChipSize = 65536;
// The FT232R's receive FIFO: what the chip holds of samples nobody asked for.
constexpr std::uint32_t fifoSize = 256;
constexpr std::uint32_t maxRules = 16;

struct Rule {
    Call call;
    std::uint32_t use;    // 1 = first use
    std::uint32_t value;  // status for a failure, byte count for a short transfer
};

struct Rules {
    std::array<Rule, maxRules> rules;
    std::uint32_t count;
};

struct Board {
    bool configured;  // knobs read
    bool absent;
    bool realTime;
    Rules failures;
    Rules shorts;
    std::array<std::uint32_t, callCount> uses;

    bool open;
    std::FILE* chip;
    std::uint32_t chipSize;
    std::uint32_t address;
    std::uint32_t baudRate;
    std::uint8_t pinMask;
    std::uint8_t bitMode;
    bool inTaskRunning;
    // The operator pushes ADDRESS RESET while the program waits at its
    // prompt, which comes right after the input task is stopped.
    bool resetAtNextCall;

    // Writer side: the first byte seen for the current address.
    bool haveFirstByte;
    std::uint8_t firstByte;

    // Reader side: samples taken in but not yet read, and whether the next
    // sample of the stream is the settled one.
    std::array<std::uint8_t, 2 * fifoSize> pending;
    std::uint32_t pendingCount;
    bool nextSampleSettled;

    std::chrono::steady_clock::time_point linkFree;
};

Board board;

// Opened for each line, so the log holds every call up to the moment a
// program ends, however it ends.
void logLine(const char* format, ...) {
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

void parseRules(const char* text, Rules& rules) {
    rules.count = 0;
    if (!text) return;
    while (*text && rules.count < maxRules) {
        const char* colon = std::strchr(text, ':');
        if (!colon) return;
        Rule rule{callCount, 0, d2xx::ioError};
        for (int c = 0; c < callCount; ++c) {
            std::size_t length = std::strlen(callNames[c]);
            if (static_cast<std::size_t>(colon - text) == length && std::strncmp(text, callNames[c], length) == 0)
                rule.call = static_cast<Call>(c);
        }
        char* end = nullptr;
        rule.use = static_cast<std::uint32_t>(std::strtoul(colon + 1, &end, 10));
        if (*end == '=') rule.value = static_cast<std::uint32_t>(std::strtoul(end + 1, &end, 10));
        if (rule.call != callCount) rules.rules[rules.count++] = rule;
        text = std::strchr(end, ',');
        if (!text) return;
        ++text;
    }
}

const Rule* ruleFor(const Rules& rules, Call call) {
    for (std::uint32_t i = 0; i < rules.count; ++i)
        if (rules.rules[i].call == call && rules.rules[i].use == board.uses[call]) return &rules.rules[i];
    return nullptr;
}

void configure() {
    if (board.configured) return;
    board.configured = true;
    const char* absent = std::getenv("SIMBOARD_ABSENT");
    board.absent = absent && std::strcmp(absent, "1") == 0;
    const char* realTime = std::getenv("SIMBOARD_REALTIME");
    board.realTime = realTime && std::strcmp(realTime, "1") == 0;
    parseRules(std::getenv("SIMBOARD_FAIL"), board.failures);
    parseRules(std::getenv("SIMBOARD_SHORT"), board.shorts);
}

// What a transfer moves: all of it, unless the knobs cut it short.
DWORD transferCount(Call call, DWORD count) {
    const Rule* cut = ruleFor(board.shorts, call);
    return cut ? std::min<DWORD>(count, cut->value) : count;
}

// Counts the use and answers whether the knobs make it fail, and with what.
FT_STATUS begin(Call call) {
    configure();
    ++board.uses[call];
    const Rule* failure = ruleFor(board.failures, call);
    return failure ? failure->value : d2xx::ok;
}


void sleepFor(std::chrono::steady_clock::duration span) {
    if (span <= std::chrono::steady_clock::duration::zero()) return;
#if defined(_WIN32)
    Sleep(static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(span).count()));
#else
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(span).count();
    timespec rest{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    // A signal for the program must not cut the transfer short.
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
#endif
}

// In real-time mode a transfer takes as long as the pins need for it.
void occupyLink(std::uint32_t bytes) {
    if (!board.realTime || board.baudRate == 0) return;
    auto now = std::chrono::steady_clock::now();
    auto start = std::max(now, board.linkFree);
    board.linkFree = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(bytes / (16.0 * board.baudRate)));
    sleepFor(board.linkFree - now);
}

bool openChip() {
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

// A call on the open board: counted, failed if the knobs say so, refused
// for a handle that is not the board's. Whatever it is, the operator has
// done what the prompt before it asked.
FT_STATUS beginOnBoard(Call call, FT_HANDLE handle) {
    FT_STATUS status = begin(call);
    if (status == d2xx::ok && !(board.open && handle == &board)) status = d2xx::invalidHandle;
    if (status == d2xx::ok && board.resetAtNextCall) {
        board.resetAtNextCall = false;
        board.address = 0;
        board.haveFirstByte = false;
        board.nextSampleSettled = false;
    }
    return status;
}

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

bool outputMode() { return board.bitMode == d2xx::modeAsyncBitBang && board.pinMask == 0xFF; }
bool inputMode() { return board.bitMode == d2xx::modeAsyncBitBang && board.pinMask == 0x00; }

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
                logLine("glitch at 0x%x: 0x%02x 0x%02x", static_cast<unsigned>((first + n) % board.chipSize),
                        board.firstByte, bytes[i]);
            values[n++] = static_cast<std::uint8_t>(board.firstByte & bytes[i]);
        }
        chipAccess(first, cells.data(), n, false);
        for (std::uint32_t k = 0; k < n; ++k) cells[k] &= values[k];  // an EPROM bit only goes 1 -> 0
        chipAccess(first, cells.data(), n, true);
        board.address = (first + n) % board.chipSize;
    }
}

// Fresh samples off the pins: for each address the unsettled lines, then
// the chip's byte, then the counter steps.
void sample(std::uint8_t* out, std::uint32_t count) {
    std::array<std::uint8_t, 2048> cells;
    std::uint32_t i = 0;
    while (i < count) {
        std::uint32_t n = std::min<std::uint32_t>(cells.size(), (count - i + 2) / 2);
        chipAccess(board.address, cells.data(), n, false);
        std::uint32_t k = 0;
        while (i < count && k < n) {
            if (!board.nextSampleSettled) {
                out[i++] = static_cast<std::uint8_t>(~cells[k]);
                board.nextSampleSettled = true;
            } else {
                out[i++] = cells[k++];
                board.nextSampleSettled = false;
                board.address = (board.address + 1) % board.chipSize;
            }
        }
    }
}

void logTransfer(Call call, DWORD count, FT_STATUS status, DWORD moved) {
    logLine("%s %u -> %u %u", callNames[call], static_cast<unsigned>(count), static_cast<unsigned>(status),
            static_cast<unsigned>(moved));
}

FT_STATUS logSimple(Call call, FT_STATUS status) {
    logLine("%s -> %u", callNames[call], static_cast<unsigned>(status));
    return status;
}

}  // namespace

void simboardReset() {
    if (board.open && board.chip) std::fclose(board.chip);
    board = Board{};
}

extern "C" {

FT_STATUS D2XX_API FT_OpenEx(void* arg, DWORD flags, FT_HANDLE* handle) {
    FT_STATUS status = begin(opOpen);
    const char* description = static_cast<const char*>(arg);
    if (status == d2xx::ok) {
        if (board.absent || flags != d2xx::openByDescription || !description ||
            std::strcmp(description, "Zerbanit") != 0)
            status = d2xx::deviceNotFound;
        else if (board.open)
            status = d2xx::deviceNotOpened;
        else if (!openChip())
            status = d2xx::deviceNotOpened;
    }
    if (status == d2xx::ok) {
        board.open = true;
        board.address = 0;
        board.baudRate = 9600;
        board.pinMask = 0;
        board.bitMode = 0;
        board.inTaskRunning = true;
        board.resetAtNextCall = false;
        board.haveFirstByte = false;
        board.pendingCount = 0;
        board.nextSampleSettled = false;
        board.linkFree = std::chrono::steady_clock::now();
        *handle = &board;
    }
    logLine("FT_OpenEx \"%s\" %u -> %u", description ? description : "(null)", static_cast<unsigned>(flags),
            static_cast<unsigned>(status));
    return status;
}

FT_STATUS D2XX_API FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate) {
    FT_STATUS status = beginOnBoard(opBaud, handle);
    if (status == d2xx::ok) {
        board.baudRate = baudRate;
    }
    logLine("FT_SetBaudRate %u -> %u", static_cast<unsigned>(baudRate), static_cast<unsigned>(status));
    return status;
}

FT_STATUS D2XX_API FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) {
    FT_STATUS status = beginOnBoard(opBitMode, handle);
    if (status == d2xx::ok) {
        board.pinMask = mask;
        board.bitMode = mode;
        // Sampling starts at once; while the driver's input task runs, the
        // samples it takes in wait in its buffer for whoever reads next.
        if (inputMode() && board.inTaskRunning) {
            std::uint32_t room = static_cast<std::uint32_t>(board.pending.size()) - board.pendingCount;
            std::uint32_t n = std::min(fifoSize, room);
            sample(board.pending.data() + board.pendingCount, n);
            board.pendingCount += n;
        }
    }
    logLine("FT_SetBitMode 0x%02x %u -> %u", mask, mode, static_cast<unsigned>(status));
    return status;
}

FT_STATUS D2XX_API FT_StopInTask(FT_HANDLE handle) {
    FT_STATUS status = beginOnBoard(opStop, handle);
    if (status == d2xx::ok) {
        board.inTaskRunning = false;
        board.resetAtNextCall = true;
    }
    return logSimple(opStop, status);
}

FT_STATUS D2XX_API FT_RestartInTask(FT_HANDLE handle) {
    FT_STATUS status = beginOnBoard(opRestart, handle);
    if (status == d2xx::ok) {
        board.inTaskRunning = true;
    }
    return logSimple(opRestart, status);
}

FT_STATUS D2XX_API FT_Purge(FT_HANDLE handle, std::uint32_t mask) {
    FT_STATUS status = beginOnBoard(opPurge, handle);
    if (status == d2xx::ok) {
        if (mask & d2xx::purgeRx) board.pendingCount = 0;
    }
    logLine("FT_Purge %u -> %u", static_cast<unsigned>(mask), static_cast<unsigned>(status));
    return status;
}

FT_STATUS D2XX_API FT_Write(FT_HANDLE handle, void* buffer, DWORD count, DWORD* written) {
    FT_STATUS status = beginOnBoard(opWrite, handle);
    DWORD moved = 0;
    if (status == d2xx::ok) {
        moved = transferCount(opWrite, count);
        const auto* bytes = static_cast<const std::uint8_t*>(buffer);
        if (const char* path = std::getenv("SIMBOARD_WIRE"); path && *path) {
            if (std::FILE* wire = std::fopen(path, "ab")) {
                std::fwrite(bytes, 1, moved, wire);
                std::fclose(wire);
            }
        }
        // With the pins as inputs the bytes go nowhere.
        if (outputMode()) programBytes(bytes, moved);
        occupyLink(moved);
    }
    if (written) *written = moved;
    logTransfer(opWrite, count, status, moved);
    return status;
}

FT_STATUS D2XX_API FT_Read(FT_HANDLE handle, void* buffer, DWORD count, DWORD* read) {
    FT_STATUS status = beginOnBoard(opRead, handle);
    DWORD moved = 0;
    if (status == d2xx::ok) {
        DWORD want = transferCount(opRead, count);
        auto* out = static_cast<std::uint8_t*>(buffer);
        moved = std::min<DWORD>(want, board.pendingCount);
        std::memcpy(out, board.pending.data(), moved);
        std::memmove(board.pending.data(), board.pending.data() + moved, board.pendingCount - moved);
        board.pendingCount -= moved;
        // A stopped input task takes nothing in; the pins are sampled only in
        // input bit-bang.
        if (board.inTaskRunning && inputMode() && moved < want) {
            sample(out + moved, want - moved);
            occupyLink(want - moved);
            moved = want;
        }
    }
    if (read) *read = moved;
    logTransfer(opRead, count, status, moved);
    return status;
}

FT_STATUS D2XX_API FT_Close(FT_HANDLE handle) {
    FT_STATUS status = beginOnBoard(opClose, handle);
    if (status == d2xx::ok) {
        std::fclose(board.chip);
        board.chip = nullptr;
        board.open = false;
    }
    return logSimple(opClose, status);
}

}  // extern "C"
