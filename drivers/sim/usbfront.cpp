// The board's FT232R as a USB host reaches it. libusb talks to usbdevfs in
// URBs only (it never uses USBDEVFS_CONTROL): control transfers are answered
// as they come, bulk transfers in the chip's own time.
//
// Time is the real clock, caught up lazily: every ioctl first brings the
// chip to the present. In bit-bang mode the pins take one byte from the
// transmit FIFO, or put one sample into the receive FIFO, every
// 1/(16 x baud) s, the baud rate being what the divisor the host sent
// really means. The host's OUT transfers top up the 128-byte transmit FIFO
// and are done once their last byte is in it. The 256-byte receive FIFO
// goes to a waiting IN transfer in 64-byte packets, two status bytes and 62
// samples each, or in a short packet with whatever there is when the
// latency timer runs out; when it is full and nobody reads, sampling
// stops, and so does the board's address counter.
//
// ADDRESS RESET: the programs set the bit mode, then wait at their prompt
// while the operator pushes the button. So the first request or transfer
// after a bit-mode request finds the reset done. The operator takes far
// longer than the 1.7 ms the reader's receive FIFO needs to fill: by then
// it holds 256 stale samples and has stopped, and sampling starts again at
// address 0 once the host purges it. The writer's first byte after the bit
// mode programs address 0.
#include "usbfront.h"

#include "board.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t inEndpoint = 0x81;
constexpr std::uint8_t outEndpoint = 0x02;
constexpr std::uint32_t packetSize = 64;
// Modem status and line status (transmitter empty), ahead of every IN packet.
constexpr std::array<std::uint8_t, 2> statusBytes{0x01, 0x60};
constexpr std::uint32_t samplesPerPacket = packetSize - statusBytes.size();
constexpr std::uint32_t receiveFifoSize = 256;
constexpr std::uint32_t transmitFifoSize = 128;
constexpr std::uint8_t asyncBitBang = 0x01;
constexpr std::uint32_t maxUrbs = 64;
// The usbfs node always polls ready, so libusb asks for finished transfers
// again and again. A "not yet" is a failed ioctl, and under umockdev's
// preload a signal for the program (Ctrl+C during a burn) can turn its
// EAGAIN into EINTR, which libusb takes for an I/O error and cancels the
// transfer. So a reap while the program has transfers under way is held,
// the chip caught up every 2 ms, until one is done: a success, whose errno
// nobody reads. After 1 s it gets its "not yet", so libusb's own timeouts
// still run.
constexpr unsigned catchUpEveryMs = 2;
constexpr auto longestHold = std::chrono::seconds(1);
constexpr std::uint32_t maxHeldReaps = 16;

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
constexpr std::array<const char*, 4> strings{nullptr, "FTDI", "Zerbanit", "ZB100001"};
constexpr std::uint16_t englishUs = 0x0409;

// Where the board and, with SIMBOARD_LOCKED=1, another FTDI device that
// cannot be opened sit on the bus. libusb lists devices in the reverse of
// the order it finds them in sysfs, so the other one comes first.
constexpr char boardPort[] = "1-1";
constexpr int boardDevnum = 2;
constexpr char boardNode[] = "/dev/bus/usb/001/002";
constexpr char lockedPort[] = "1-2";
constexpr int lockedDevnum = 3;

template <std::uint32_t N>
struct Fifo {
    std::array<std::uint8_t, N> bytes;
    std::uint32_t first;
    std::uint32_t count;
};

enum class UrbState : std::uint8_t { free, waiting, done };

struct Urb {
    UrbState state;
    UMockdevIoctlClient* client;
    UMockdevIoctlData* data;  // the client's URB, its buffer resolved
    usbdevfs_urb* urb;
    std::uint64_t submitted;  // transfers on an endpoint complete in turn
    std::uint64_t completed;  // and are reaped in the order they completed
    std::uint32_t taken;      // OUT: bytes in the transmit FIFO so far
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

struct Chip {
    bool powered;
    bool noChip;  // SIMBOARD_CHIP cannot be had: every ioctl fails
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

    std::array<Urb, maxUrbs> urbs;
    std::uint64_t submissions;
    std::uint64_t completions;
};

struct HeldReap {
    UMockdevIoctlClient* client;  // null: a free entry
    Clock::time_point since;
};

Chip chip;
std::array<HeldReap, maxHeldReaps> heldReaps;
// umockdev's worker thread answers the ioctls; the launcher's main thread
// unplugs the board.
std::mutex chipLock;

template <std::uint32_t N>
void fifoPush(Fifo<N>& fifo, const std::uint8_t* bytes, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) fifo.bytes[(fifo.first + fifo.count++) % N] = bytes[i];
}

template <std::uint32_t N>
void fifoPop(Fifo<N>& fifo, std::uint8_t* bytes, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        bytes[i] = fifo.bytes[fifo.first];
        fifo.first = (fifo.first + 1) % N;
        --fifo.count;
    }
}

bool pinsAreOutputs() { return chip.bitMode == asyncBitBang && chip.pinMask == 0xFF; }
bool pinsAreInputs() { return chip.bitMode == asyncBitBang && chip.pinMask == 0x00; }

// The FT232R's divisor: 14 bits of whole periods of its 3 MHz clock and a
// three-bit code for eighths, the code's top bit in wIndex; 0 and 1 stand
// for 3 and 2 MBaud.
std::uint32_t divisorEighths(std::uint16_t value, std::uint16_t index) {
    constexpr std::array<std::uint32_t, 8> eighthsOfCode{0, 4, 2, 1, 3, 5, 6, 7};
    std::uint32_t whole = value & 0x3FFFu;
    std::uint32_t code = (value >> 14) | ((index & 1u) << 2);
    if (whole == 0 && code == 0) return 8;
    if (whole == 1 && code == 0) return 12;
    return whole * 8 + eighthsOfCode[code];
}

double baudRate() { return 3000000.0 * 8 / chip.divisorEighths; }

// Of the URBs that `match`, the one first by `order`.
template <typename Match>
Urb* firstOf(Match match, std::uint64_t Urb::*order) {
    auto key = [&](const Urb& u) { return match(u) ? u.*order : UINT64_MAX; };
    auto first = std::min_element(chip.urbs.begin(), chip.urbs.end(),
                                  [&](const Urb& a, const Urb& b) { return key(a) < key(b); });
    return match(*first) ? &*first : nullptr;
}

Urb* oldestWaiting(std::uint8_t endpoint) {
    return firstOf(
        [endpoint](const Urb& u) {
            return u.state == UrbState::waiting && u.urb->type == USBDEVFS_URB_TYPE_BULK && u.urb->endpoint == endpoint;
        },
        &Urb::submitted);
}

void finish(Urb& u, int status, std::uint32_t moved) {
    u.urb->status = status;
    u.urb->actual_length = static_cast<int>(moved);
    u.state = UrbState::done;
    u.completed = ++chip.completions;
    const char* how = status == 0 ? "" : status == -EPIPE ? " stall" : status == -ESHUTDOWN ? " no device" : " discarded";
    if (u.urb->type == USBDEVFS_URB_TYPE_BULK)
        boardLog("bulk %s %d -> %u%s", u.urb->endpoint == inEndpoint ? "in" : "out", u.urb->buffer_length,
                 static_cast<unsigned>(moved), how);
}

// The cable comes out: the chip loses power with whatever its FIFOs held,
// and, as the kernel does on a disconnect, every transfer under way ends
// with -ESHUTDOWN and what it had moved.
void pullThePlug() {
    for (Urb& u : chip.urbs) {
        if (u.state != UrbState::waiting) continue;
        auto moved = u.urb->endpoint == outEndpoint ? u.taken : static_cast<std::uint32_t>(u.urb->actual_length);
        finish(u, -ESHUTDOWN, moved);
    }
    chip.toPins.count = 0;
    chip.fromPins.count = 0;
    chip.unplugged = true;
}

// How much more may happen before a fault set at `after` events, `done`
// of them so far: unlimited when it is not set.
std::uint64_t untilFault(std::uint64_t after, std::uint64_t done) {
    return after == 0 ? UINT64_MAX : after - std::min(after, done);
}

void release(Urb& u) {
    g_object_unref(u.data);
    g_object_unref(u.client);
    u = Urb{};
}

// USB moves bytes far faster than the pins: the FIFO is topped up from the
// oldest OUT transfer as soon as there is room.
// A halted endpoint answers every packet with a STALL handshake: the
// transfer under way ends with -EPIPE and what got through before, and so
// does every later one until the host clears the halt.
void takeFromOutTransfers() {
    while (Urb* u = oldestWaiting(outEndpoint)) {
        if (chip.outHalted) {
            finish(*u, -EPIPE, u->taken);
            continue;
        }
        auto length = static_cast<std::uint32_t>(u->urb->buffer_length);
        std::uint32_t n = std::min(length - u->taken, transmitFifoSize - chip.toPins.count);
        n = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(n, untilFault(chip.faults.stallAfterOut, chip.takenFromHost)));
        fifoPush(chip.toPins, static_cast<const std::uint8_t*>(u->urb->buffer) + u->taken, n);
        u->taken += n;
        chip.takenFromHost += n;
        if (u->taken == length) {
            finish(*u, 0, length);
        } else if (chip.faults.stallAfterOut != 0 && chip.takenFromHost == chip.faults.stallAfterOut) {
            chip.faults.stallAfterOut = 0;  // once
            chip.outHalted = true;
        } else {
            return;
        }
    }
}

void drainToPins(std::uint64_t periods) {
    std::array<std::uint8_t, transmitFifoSize> run;
    takeFromOutTransfers();
    while (periods > 0 && chip.toPins.count > 0) {
        auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(
            {periods, chip.toPins.count, untilFault(chip.faults.unplugAfterOut, chip.driven)}));
        fifoPop(chip.toPins, run.data(), n);
        boardDrive(run.data(), n, pinsAreOutputs());
        chip.driven += n;
        periods -= n;
        if (untilFault(chip.faults.unplugAfterOut, chip.driven) == 0) return pullThePlug();
        takeFromOutTransfers();
    }
}

// One packet into an IN transfer; a short one, or a full buffer, ends it.
void sendPacket(Urb& u, std::uint32_t samples, Clock::time_point now) {
    auto room = static_cast<std::uint32_t>(u.urb->buffer_length - u.urb->actual_length);
    if (room >= statusBytes.size()) {
        samples = std::min<std::uint32_t>(samples, room - statusBytes.size());
        auto* at = static_cast<std::uint8_t*>(u.urb->buffer) + u.urb->actual_length;
        std::memcpy(at, statusBytes.data(), statusBytes.size());
        fifoPop(chip.fromPins, at + statusBytes.size(), samples);
        u.urb->actual_length += static_cast<int>(statusBytes.size() + samples);
        room -= statusBytes.size() + samples;
    }
    chip.lastPacket = now;
    if (samples < samplesPerPacket || room < packetSize) finish(u, 0, static_cast<std::uint32_t>(u.urb->actual_length));
}

void sendFullPackets(Clock::time_point now) {
    while (chip.fromPins.count >= samplesPerPacket) {
        Urb* u = oldestWaiting(inEndpoint);
        if (!u) return;
        sendPacket(*u, samplesPerPacket, now);
    }
}

void samplePins(std::uint64_t periods, Clock::time_point now) {
    std::array<std::uint8_t, receiveFifoSize> samples;
    const Faults& f = chip.faults;
    sendFullPackets(now);
    while (periods > 0 && pinsAreInputs()) {
        // A pause is pin periods that take no sample.
        std::uint64_t idle = std::min(periods, chip.pausePeriodsLeft);
        chip.pausePeriodsLeft -= idle;
        periods -= idle;
        std::uint64_t room = std::min({std::uint64_t{receiveFifoSize - chip.fromPins.count},
                                       untilFault(f.silentAfter, chip.sampledSincePurge),
                                       untilFault(f.unplugAfterIn, chip.sampledSincePurge),
                                       chip.pausedSincePurge ? UINT64_MAX
                                                             : untilFault(f.pauseAfter, chip.sampledSincePurge)});
        if (periods == 0 || room == 0) return;  // sampling waits for room
        auto n = static_cast<std::uint32_t>(std::min(periods, room));
        boardSample(samples.data(), n);
        fifoPush(chip.fromPins, samples.data(), n);
        chip.sampledSincePurge += n;
        periods -= n;
        sendFullPackets(now);
        if (untilFault(f.unplugAfterIn, chip.sampledSincePurge) == 0) return pullThePlug();
        if (!chip.pausedSincePurge && untilFault(f.pauseAfter, chip.sampledSincePurge) == 0) {
            chip.pausedSincePurge = true;
            chip.pausePeriodsLeft = static_cast<std::uint64_t>(f.pauseMs * 16 * baudRate() / 1000);
        }
    }
}

void catchUp(Clock::time_point now) {
    double owed = chip.pinPeriodsOwed + std::chrono::duration<double>(now - chip.caughtUp).count() * 16 * baudRate();
    chip.caughtUp = now;
    auto periods = static_cast<std::uint64_t>(owed);
    chip.pinPeriodsOwed = owed - static_cast<double>(periods);
    drainToPins(periods);
    if (!chip.unplugged) samplePins(periods, now);
    if (chip.unplugged) return;
    // The latency timer: a waiting IN transfer gets what there is, perhaps
    // only the status bytes.
    Urb* u = oldestWaiting(inEndpoint);
    if (u && now - chip.lastPacket >= std::chrono::milliseconds(chip.latencyMs))
        sendPacket(*u, chip.fromPins.count, now);
}

std::uint64_t countKnob(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::strtoull(value, nullptr, 0) : 0;
}

Faults readFaults() {
    Faults f{};
    f.silentAfter = countKnob("SIMBOARD_SILENT");
    f.unplugAfterOut = countKnob("SIMBOARD_UNPLUG_OUT");
    f.unplugAfterIn = countKnob("SIMBOARD_UNPLUG_IN");
    f.stallAfterOut = countKnob("SIMBOARD_STALL_OUT");
    if (const char* pause = std::getenv("SIMBOARD_PAUSE")) {  // N:MS
        char* end = nullptr;
        f.pauseAfter = std::strtoull(pause, &end, 0);
        f.pauseMs = *end == ':' ? static_cast<std::uint32_t>(std::strtoul(end + 1, nullptr, 0)) : 0;
    }
    if (const char* refuse = std::getenv("SIMBOARD_REFUSE"); refuse && *refuse) {  // REQUEST[:VALUE], hex
        char* end = nullptr;
        f.refuse = true;
        f.refusedRequest = static_cast<std::uint8_t>(std::strtoul(refuse, &end, 16));
        f.refusedValue = *end == ':' ? static_cast<std::int32_t>(std::strtoul(end + 1, nullptr, 16) & 0xFFFF) : -1;
    }
    return f;
}

bool powerUp() {
    if (!chip.powered) {
        chip.powered = true;
        chip.noChip = !boardInsertChip();
        if (chip.noChip) boardLog("no chip in the socket");
        chip.faults = readFaults();
        // The chip's own settings after power-up.
        chip.divisorEighths = 2500;  // 9600 baud
        chip.latencyMs = 16;
        chip.caughtUp = chip.lastPacket = Clock::now();
    }
    return !chip.noChip;
}

void pushAddressReset(Clock::time_point now) {
    chip.resetPending = false;
    samplePins(receiveFifoSize, now);
    boardAddressReset();
}

std::uint32_t copyOut(std::uint8_t* to, std::uint32_t room, const std::uint8_t* from, std::uint32_t count) {
    count = std::min(count, room);
    std::memcpy(to, from, count);
    return count;
}

std::uint32_t stringDescriptor(std::uint8_t number, std::uint8_t* to, std::uint32_t room) {
    std::array<std::uint8_t, 2 + 2 * 126> d{};
    std::uint32_t length = 2;
    if (number == 0) {
        d[length++] = englishUs & 0xFF;
        d[length++] = englishUs >> 8;
    } else {
        for (const char* c = strings[number]; *c; ++c) {
            d[length++] = static_cast<std::uint8_t>(*c);
            d[length++] = 0;
        }
    }
    d[0] = static_cast<std::uint8_t>(length);
    d[1] = 0x03;
    return copyOut(to, room, d.data(), length);
}

// Answers one control request: the bytes it returns, or -1 for a stall.
// `what` gets a few words for the log.
int answer(const std::uint8_t* setup, std::uint8_t* data, std::uint32_t room, char* what, std::size_t whatSize) {
    std::uint8_t type = setup[0];
    std::uint8_t request = setup[1];
    auto value = static_cast<std::uint16_t>(setup[2] | setup[3] << 8);
    auto index = static_cast<std::uint16_t>(setup[4] | setup[5] << 8);
    std::uint8_t high = value >> 8;
    std::uint8_t low = value & 0xFF;
    const Faults& f = chip.faults;
    bool vendor = (type & 0x60) == 0x40;
    if (vendor && f.refuse && request == f.refusedRequest && (f.refusedValue < 0 || value == f.refusedValue)) {
        std::snprintf(what, whatSize, "refused");
        return -1;
    }
    switch (type << 8 | request) {
    case 0x8006:  // GET_DESCRIPTOR
        if (high == 1) {
            std::snprintf(what, whatSize, "device descriptor");
            return static_cast<int>(copyOut(data, room, deviceDescriptor.data(), deviceDescriptor.size()));
        }
        if (high == 2 && low == 0) {
            std::snprintf(what, whatSize, "configuration descriptor");
            return static_cast<int>(copyOut(data, room, configurationDescriptor.data(), configurationDescriptor.size()));
        }
        if (high == 3 && low < strings.size()) {
            std::snprintf(what, whatSize, "string %u", low);
            return static_cast<int>(stringDescriptor(low, data, room));
        }
        return -1;
    case 0x8000:  // GET_STATUS
        std::snprintf(what, whatSize, "status");
        return static_cast<int>(copyOut(data, room, std::array<std::uint8_t, 2>{}.data(), 2));
    case 0x8008:  // GET_CONFIGURATION
        std::snprintf(what, whatSize, "configuration");
        return static_cast<int>(copyOut(data, room, &configurationDescriptor[5], 1));
    case 0x0009:  // SET_CONFIGURATION
    case 0x010B:  // SET_INTERFACE
        return 0;
    case 0x0201:  // CLEAR_FEATURE of an endpoint: ENDPOINT_HALT is the only one
        if (value == 0 && (index & 0xFF) == outEndpoint) chip.outHalted = false;
        std::snprintf(what, whatSize, "clear halt");
        return 0;
    case 0x4000:
        // libftdi 1.5's naming: 1 empties what the host sent, 2 what the
        // pins took in for it.
        if (value == 0 || value == 1) chip.toPins.count = 0;
        if (value == 0 || value == 2) {
            chip.fromPins.count = 0;
            chip.sampledSincePurge = 0;
            chip.pausedSincePurge = false;
        }
        std::snprintf(what, whatSize, "%s", value == 0 ? "reset" : value == 1 ? "purge out" : "purge in");
        return 0;
    case 0x4003:
        chip.divisorEighths = divisorEighths(value, index);
        std::snprintf(what, whatSize, "baud %.0f", baudRate());
        return 0;
    case 0x4009:
        chip.latencyMs = std::max<std::uint8_t>(low, 1);
        std::snprintf(what, whatSize, "latency %u ms", chip.latencyMs);
        return 0;
    case 0x400B:
        chip.pinMask = low;
        chip.bitMode = high;
        chip.resetPending = true;
        std::snprintf(what, whatSize, "bit mode %02x pins %02x", high, low);
        return 0;
    case 0xC005:
        std::snprintf(what, whatSize, "modem status");
        return static_cast<int>(copyOut(data, room, statusBytes.data(), statusBytes.size()));
    case 0xC00A:
        std::snprintf(what, whatSize, "latency");
        return static_cast<int>(copyOut(data, room, &chip.latencyMs, 1));
    default:
        // Other settings (modem and flow control, line properties, special
        // characters) mean nothing to the board; reads get zeros.
        if (type & 0x80) std::memset(data, 0, room);
        std::snprintf(what, whatSize, "ignored");
        return type & 0x80 ? static_cast<int>(room) : 0;
    }
}

void control(Urb& u) {
    auto* setup = static_cast<std::uint8_t*>(u.urb->buffer);
    if (u.urb->buffer_length < 8) {
        finish(u, -EINVAL, 0);
        return;
    }
    auto length = static_cast<std::uint32_t>(setup[6] | setup[7] << 8);
    std::uint32_t room = std::min<std::uint32_t>(length, static_cast<std::uint32_t>(u.urb->buffer_length) - 8);
    std::array<char, 48> what{};
    int moved = answer(setup, setup + 8, room, what.data(), what.size());
    std::array<char, 8> result{};
    std::snprintf(result.data(), result.size(), moved < 0 ? "stall" : "%d", moved);
    boardLog("control %02x %02x %02x%02x %02x%02x %u -> %s%s%s", setup[0], setup[1], setup[3], setup[2], setup[5],
             setup[4], static_cast<unsigned>(length), result.data(), what[0] ? " " : "", what.data());
    finish(u, moved < 0 ? -EPIPE : 0, static_cast<std::uint32_t>(std::max(moved, 0)));
}

void complete(UMockdevIoctlClient* client, long result, int error) {
    if (umockdev_ioctl_client_get_connected(client)) umockdev_ioctl_client_complete(client, result, error);
}

void submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg, Clock::time_point now) {
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (!data) return complete(client, -1, EFAULT);
    auto* urb = reinterpret_cast<usbdevfs_urb*>(data->data);
    if (urb->buffer_length > 0) {
        // The URB keeps the buffer; its changes go back to the client with it.
        UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(
            data, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(urb->buffer_length), nullptr);
        if (!buffer) {
            g_object_unref(data);
            return complete(client, -1, EFAULT);
        }
        g_object_unref(buffer);
    }
    bool known = urb->type == USBDEVFS_URB_TYPE_CONTROL ||
                 (urb->type == USBDEVFS_URB_TYPE_BULK && (urb->endpoint == inEndpoint || urb->endpoint == outEndpoint));
    auto slot = std::find_if(chip.urbs.begin(), chip.urbs.end(), [](const Urb& u) { return u.state == UrbState::free; });
    if (!known || slot == chip.urbs.end()) {
        g_object_unref(data);
        return complete(client, -1, known ? ENOMEM : ENOENT);
    }
    if (chip.resetPending) pushAddressReset(now);
    if (chip.unplugged) {
        g_object_unref(data);
        return complete(client, -1, ENODEV);
    }
    *slot = Urb{UrbState::waiting, static_cast<UMockdevIoctlClient*>(g_object_ref(client)), data, urb,
                ++chip.submissions, 0, 0};
    urb->status = 0;
    urb->actual_length = 0;
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL)
        control(*slot);
    else
        catchUp(now);
    complete(client, 0, 0);
}

bool reapOne(const UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    Urb* oldest = firstOf([client](const Urb& u) { return u.state == UrbState::done && u.client == client; },
                          &Urb::completed);
    if (!oldest) return false;
    UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
    if (!pointer) return false;
    umockdev_ioctl_data_set_ptr(pointer, 0, oldest->data);
    g_object_unref(pointer);
    release(*oldest);
    return true;
}

bool hasWaiting(const UMockdevIoctlClient* client) {
    return std::any_of(chip.urbs.begin(), chip.urbs.end(),
                       [client](const Urb& u) { return u.state == UrbState::waiting && u.client == client; });
}

gboolean reapLater(gpointer data) {
    auto* held = static_cast<HeldReap*>(data);
    UMockdevIoctlClient* client = held->client;
    std::lock_guard<std::mutex> hold(chipLock);
    auto now = Clock::now();
    if (!chip.unplugged) catchUp(now);
    if (reapOne(client, umockdev_ioctl_client_get_arg(client)))
        complete(client, 0, 0);
    else if (chip.unplugged)
        complete(client, -1, ENODEV);
    else if (!hasWaiting(client) || now - held->since >= longestHold || !umockdev_ioctl_client_get_connected(client))
        complete(client, -1, EAGAIN);
    else
        return G_SOURCE_CONTINUE;
    g_object_unref(client);
    *held = HeldReap{};
    return G_SOURCE_REMOVE;
}

void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    if (reapOne(client, arg)) return complete(client, 0, 0);
    auto held = std::find_if(heldReaps.begin(), heldReaps.end(), [](const HeldReap& h) { return !h.client; });
    if (!hasWaiting(client) || held == heldReaps.end()) return complete(client, -1, EAGAIN);
    *held = HeldReap{static_cast<UMockdevIoctlClient*>(g_object_ref(client)), Clock::now()};
    GSource* later = g_timeout_source_new(catchUpEveryMs);
    g_source_set_callback(later, reapLater, &*held, nullptr);
    g_source_attach(later, g_main_context_get_thread_default());
    g_source_unref(later);
}

void discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    gulong address = *reinterpret_cast<const gulong*>(arg->data);
    auto u = std::find_if(chip.urbs.begin(), chip.urbs.end(), [&](const Urb& candidate) {
        return candidate.state == UrbState::waiting && candidate.client == client &&
               candidate.data->client_addr == address;
    });
    if (u == chip.urbs.end()) return complete(client, -1, EINVAL);
    // What already went into the transmit FIFO still goes out.
    auto moved = u->urb->endpoint == outEndpoint ? u->taken : static_cast<std::uint32_t>(u->urb->actual_length);
    finish(*u, -ECONNRESET, moved);
    complete(client, 0, 0);
}

void putCapabilities(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), nullptr);
    if (!caps) return complete(client, -1, EFAULT);
    std::uint32_t bits = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
    std::memcpy(caps->data, &bits, sizeof bits);
    g_object_unref(caps);
    complete(client, 0, 0);
}

// The ioctls that name an interface or an endpoint, logged: a release is
// how a closed device shows, since libftdi's close makes one even on a
// device that has gone.
void interfaceOrEndpoint(UMockdevIoctlClient* client, UMockdevIoctlData* arg, unsigned long request) {
    UMockdevIoctlData* number = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
    if (!number) return complete(client, -1, EFAULT);
    unsigned which = 0;
    std::memcpy(&which, number->data, sizeof which);
    g_object_unref(number);
    const char* what = request == USBDEVFS_CLAIMINTERFACE     ? "claim interface %u -> %s"
                       : request == USBDEVFS_RELEASEINTERFACE ? "release interface %u -> %s"
                                                              : "clear halt %02x -> %s";
    boardLog(what, which, chip.unplugged ? "no device" : "0");
    if (chip.unplugged) return complete(client, -1, ENODEV);
    if (request == USBDEVFS_CLEAR_HALT && which == outEndpoint) chip.outHalted = false;
    complete(client, 0, 0);
}

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
    std::lock_guard<std::mutex> hold(chipLock);
    if (!powerUp()) {
        complete(client, -1, EIO);
        return TRUE;
    }
    auto now = Clock::now();
    if (!chip.unplugged) catchUp(now);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    unsigned long request = umockdev_ioctl_client_get_request(client);
    if (request == USBDEVFS_CLAIMINTERFACE || request == USBDEVFS_RELEASEINTERFACE || request == USBDEVFS_CLEAR_HALT) {
        interfaceOrEndpoint(client, arg, request);
        return TRUE;
    }
    if (chip.unplugged) {
        // As the kernel after a disconnect: transfers that ended can still
        // be reaped, and everything else finds no device.
        bool reaping = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
        if (reaping && reapOne(client, arg))
            complete(client, 0, 0);
        else
            complete(client, -1, ENODEV);
        return TRUE;
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: putCapabilities(client, arg); break;
    case USBDEVFS_SUBMITURB: submit(client, arg, now); break;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: reap(client, arg); break;
    case USBDEVFS_DISCARDURB: discard(client, arg); break;
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_RESET: complete(client, 0, 0); break;
    // No kernel driver holds the interface, so there is none to detach.
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL: complete(client, -1, ENODATA); break;
    default: complete(client, -1, ENOTTY); break;
    }
    return TRUE;
}

// The device as udev and sysfs show it; libusb reads its descriptors there.
bool addDevice(UMockdevTestbed* testbed, const char* port, int devnum, GError** error) {
    std::array<char, 2 * (deviceDescriptor.size() + configurationDescriptor.size()) + 1> hex{};
    char* at = hex.data();
    for (std::uint8_t byte : deviceDescriptor) at += std::sprintf(at, "%02X", byte);
    for (std::uint8_t byte : configurationDescriptor) at += std::sprintf(at, "%02X", byte);
    std::array<char, 1024> record{};
    std::snprintf(record.data(), record.size(),
                  "P: /devices/pci0000:00/0000:00:14.0/usb1/%s\n"
                  "N: bus/usb/001/%03d\n"
                  "E: DEVNAME=/dev/bus/usb/001/%03d\n"
                  "E: DEVTYPE=usb_device\n"
                  "E: SUBSYSTEM=usb\n"
                  "E: BUSNUM=001\n"
                  "E: DEVNUM=%03d\n"
                  "E: PRODUCT=403/6001/600\n"
                  // Attributes end in a newline, as the kernel's do.
                  "A: idVendor=0403\\n\n"
                  "A: idProduct=6001\\n\n"
                  "A: bcdDevice=0600\\n\n"
                  "A: busnum=1\\n\n"
                  "A: devnum=%d\\n\n"
                  "A: speed=12\\n\n"
                  "A: bConfigurationValue=1\\n\n"
                  "A: bNumConfigurations=1\\n\n"
                  "A: dev=189:%d\\n\n"
                  "H: descriptors=%s\n",
                  port, devnum, devnum, devnum, devnum, devnum, hex.data());
    return umockdev_testbed_add_from_string(testbed, record.data(), error);
}

}  // namespace

bool usbfrontPlugIn(UMockdevTestbed* testbed, GError** error) {
    if (boardKnob("SIMBOARD_LOCKED")) {
        // Another user's adapter: listed, but its node opens for nobody.
        if (!addDevice(testbed, lockedPort, lockedDevnum, error)) return false;
        gchar* root = umockdev_testbed_get_root_dir(testbed);
        std::array<char, 4096> node{};
        std::snprintf(node.data(), node.size(), "%s/dev/bus/usb/001/%03d", root, lockedDevnum);
        g_free(root);
        if (unlink(node.data()) != 0 || mkdir(node.data(), 0) != 0) {
            g_set_error(error, G_FILE_ERROR, g_file_error_from_errno(errno), "%s: %s", node.data(),
                        std::strerror(errno));
            return false;
        }
    }
    if (boardKnob("SIMBOARD_ABSENT")) return true;
    if (!addDevice(testbed, boardPort, boardDevnum, error)) return false;
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(onIoctl), nullptr);
    return umockdev_testbed_attach_ioctl(testbed, boardNode, handler, error);
}

void usbfrontUnplug() {
    std::lock_guard<std::mutex> hold(chipLock);
    // What the chip holds still goes out to the pins: the board keeps its
    // power while the operator reads the last prompt.
    bool live = chip.powered && !chip.noChip && !chip.unplugged;
    if (live) catchUp(Clock::now());
    for (Urb& u : chip.urbs)
        if (u.state != UrbState::free) release(u);
    if (live) drainToPins(chip.toPins.count);
    boardRemoveChip();
    chip.unplugged = true;
}
