// The simulated board behind the nine D2XX calls: the driver's side (its
// buffer, its input task, the link's pace) over the board model of board.h.
// Its knobs make any call fail or any transfer come up short.
#include "simboard.h"

#include "board.h"
#include "d2xx.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
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

// What the vendor's driver and the FTDI chip hold for the open board.
struct Driver {
    bool configured;  // knobs read
    bool absent;
    bool realTime;
    Rules failures;
    Rules shorts;
    std::array<std::uint32_t, callCount> uses;

    bool open;
    std::uint32_t baudRate;
    std::uint8_t pinMask;
    std::uint8_t bitMode;
    bool inTaskRunning;
    // The operator pushes ADDRESS RESET while the program waits at its
    // prompt, which comes right after the input task is stopped.
    bool resetAtNextCall;

    // Samples taken in but not yet read.
    std::array<std::uint8_t, 2 * fifoSize> pending;
    std::uint32_t pendingCount;

    std::chrono::steady_clock::time_point linkFree;
};

Driver driver;

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
        if (rules.rules[i].call == call && rules.rules[i].use == driver.uses[call]) return &rules.rules[i];
    return nullptr;
}

void configure() {
    if (driver.configured) return;
    driver.configured = true;
    driver.absent = boardKnob("SIMBOARD_ABSENT");
    driver.realTime = boardKnob("SIMBOARD_REALTIME");
    parseRules(std::getenv("SIMBOARD_FAIL"), driver.failures);
    parseRules(std::getenv("SIMBOARD_SHORT"), driver.shorts);
}

// What a transfer moves: all of it, unless the knobs cut it short.
DWORD transferCount(Call call, DWORD count) {
    const Rule* cut = ruleFor(driver.shorts, call);
    return cut ? std::min<DWORD>(count, cut->value) : count;
}

// Counts the use and answers whether the knobs make it fail, and with what.
FT_STATUS begin(Call call) {
    configure();
    ++driver.uses[call];
    const Rule* failure = ruleFor(driver.failures, call);
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
    if (!driver.realTime || driver.baudRate == 0) return;
    auto now = std::chrono::steady_clock::now();
    auto start = std::max(now, driver.linkFree);
    driver.linkFree = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(bytes / (16.0 * driver.baudRate)));
    sleepFor(driver.linkFree - now);
}

// A call on the open board: counted, failed if the knobs say so, refused
// for a handle that is not the board's. Whatever it is, the operator has
// done what the prompt before it asked.
FT_STATUS beginOnBoard(Call call, FT_HANDLE handle) {
    FT_STATUS status = begin(call);
    if (status == d2xx::ok && !(driver.open && handle == &driver)) status = d2xx::invalidHandle;
    if (status == d2xx::ok && driver.resetAtNextCall) {
        driver.resetAtNextCall = false;
        boardAddressReset();
    }
    return status;
}

bool outputMode() { return driver.bitMode == d2xx::modeAsyncBitBang && driver.pinMask == 0xFF; }
bool inputMode() { return driver.bitMode == d2xx::modeAsyncBitBang && driver.pinMask == 0x00; }

void logTransfer(Call call, DWORD count, FT_STATUS status, DWORD moved) {
    boardLog("%s %u -> %u %u", callNames[call], static_cast<unsigned>(count), static_cast<unsigned>(status),
             static_cast<unsigned>(moved));
}

FT_STATUS logSimple(Call call, FT_STATUS status) {
    boardLog("%s -> %u", callNames[call], static_cast<unsigned>(status));
    return status;
}

}  // namespace

extern "C" {

FT_STATUS D2XX_API FT_OpenEx(void* arg, DWORD flags, FT_HANDLE* handle) {
    FT_STATUS status = begin(opOpen);
    const char* description = static_cast<const char*>(arg);
    if (status == d2xx::ok) {
        if (driver.absent || flags != d2xx::openByDescription || !description ||
            std::strcmp(description, "Zerbanit") != 0)
            status = d2xx::deviceNotFound;
        else if (driver.open)
            status = d2xx::deviceNotOpened;
        else if (!boardInsertChip())
            status = d2xx::deviceNotOpened;
    }
    if (status == d2xx::ok) {
        driver.open = true;
        boardAddressReset();
        driver.baudRate = 9600;
        driver.pinMask = 0;
        driver.bitMode = 0;
        driver.inTaskRunning = true;
        driver.resetAtNextCall = false;
        driver.pendingCount = 0;
        driver.linkFree = std::chrono::steady_clock::now();
        *handle = &driver;
    }
    boardLog("FT_OpenEx \"%s\" %u -> %u", description ? description : "(null)", static_cast<unsigned>(flags),
             static_cast<unsigned>(status));
    return status;
}

FT_STATUS D2XX_API FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate) {
    FT_STATUS status = beginOnBoard(opBaud, handle);
    if (status == d2xx::ok) {
        driver.baudRate = baudRate;
    }
    boardLog("FT_SetBaudRate %u -> %u", static_cast<unsigned>(baudRate), static_cast<unsigned>(status));
    return status;
}

FT_STATUS D2XX_API FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) {
    FT_STATUS status = beginOnBoard(opBitMode, handle);
    if (status == d2xx::ok) {
        driver.pinMask = mask;
        driver.bitMode = mode;
        // Sampling starts at once; while the driver's input task runs, the
        // samples it takes in wait in its buffer for whoever reads next.
        if (inputMode() && driver.inTaskRunning) {
            std::uint32_t room = static_cast<std::uint32_t>(driver.pending.size()) - driver.pendingCount;
            std::uint32_t n = std::min(fifoSize, room);
            boardSample(driver.pending.data() + driver.pendingCount, n);
            driver.pendingCount += n;
        }
    }
    boardLog("FT_SetBitMode 0x%02x %u -> %u", mask, mode, static_cast<unsigned>(status));
    return status;
}

FT_STATUS D2XX_API FT_StopInTask(FT_HANDLE handle) {
    FT_STATUS status = beginOnBoard(opStop, handle);
    if (status == d2xx::ok) {
        driver.inTaskRunning = false;
        driver.resetAtNextCall = true;
    }
    return logSimple(opStop, status);
}

FT_STATUS D2XX_API FT_RestartInTask(FT_HANDLE handle) {
    FT_STATUS status = beginOnBoard(opRestart, handle);
    if (status == d2xx::ok) {
        driver.inTaskRunning = true;
    }
    return logSimple(opRestart, status);
}

FT_STATUS D2XX_API FT_Purge(FT_HANDLE handle, std::uint32_t mask) {
    FT_STATUS status = beginOnBoard(opPurge, handle);
    if (status == d2xx::ok) {
        if (mask & d2xx::purgeRx) driver.pendingCount = 0;
    }
    boardLog("FT_Purge %u -> %u", static_cast<unsigned>(mask), static_cast<unsigned>(status));
    return status;
}

FT_STATUS D2XX_API FT_Write(FT_HANDLE handle, void* buffer, DWORD count, DWORD* written) {
    FT_STATUS status = beginOnBoard(opWrite, handle);
    DWORD moved = 0;
    if (status == d2xx::ok) {
        moved = transferCount(opWrite, count);
        // With the pins as inputs the bytes go nowhere.
        boardDrive(static_cast<const std::uint8_t*>(buffer), moved, outputMode());
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
        moved = std::min<DWORD>(want, driver.pendingCount);
        std::memcpy(out, driver.pending.data(), moved);
        std::memmove(driver.pending.data(), driver.pending.data() + moved, driver.pendingCount - moved);
        driver.pendingCount -= moved;
        // A stopped input task takes nothing in; the pins are sampled only in
        // input bit-bang.
        if (driver.inTaskRunning && inputMode() && moved < want) {
            boardSample(out + moved, want - moved);
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
        boardRemoveChip();
        driver.open = false;
    }
    return logSimple(opClose, status);
}

}  // extern "C"
