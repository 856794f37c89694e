// The board's FT232R (ft232r.h): its clock and divisor, its FIFOs and pins
// as time runs, its bulk endpoints, its answers to control requests, and
// the faults the knobs set.
#include "ft232r.h"

#include "board.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ft232r {

namespace {

// Modem status and line status (transmitter empty), ahead of every IN packet.
constexpr std::array<std::uint8_t, 2> statusBytes{0x01, 0x60};
constexpr std::uint32_t samplesPerPacket = packetSize - statusBytes.size();
constexpr std::uint8_t asyncBitBang = 0x01;

constexpr std::array<const char*, 4> strings{nullptr, "FTDI", "Zerbanit", "ZB100001"};
constexpr std::uint16_t englishUs = 0x0409;

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

bool pinsAreOutputs(const Chip& chip) { return chip.bitMode == asyncBitBang && chip.pinMask == 0xFF; }
bool pinsAreInputs(const Chip& chip) { return chip.bitMode == asyncBitBang && chip.pinMask == 0x00; }

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

double baudRate(const Chip& chip) { return 3000000.0 * 8 / chip.divisorEighths; }

Transfer* oldestWaiting(Chip& chip, std::uint8_t endpoint) {
    auto key = [endpoint](const Transfer& t) {
        return t.state == TransferState::waiting && t.endpoint == endpoint ? t.submitted : UINT64_MAX;
    };
    auto first = std::min_element(chip.transfers.begin(), chip.transfers.end(),
                                  [&](const Transfer& a, const Transfer& b) { return key(a) < key(b); });
    return key(*first) != UINT64_MAX ? &*first : nullptr;
}

// The cable comes out: the chip loses power with whatever its FIFOs held,
// and, as the kernel does on a disconnect, every transfer under way ends
// with -ESHUTDOWN and what it had moved.
void pullThePlug(Chip& chip) {
    for (Transfer& t : chip.transfers)
        if (t.state == TransferState::waiting) finish(chip, t, End::noDevice, t.moved);
    chip.toPins.count = 0;
    chip.fromPins.count = 0;
    chip.unplugged = true;
}

// How much more may happen before a fault set at `after` events, `done`
// of them so far: unlimited when it is not set.
std::uint64_t untilFault(std::uint64_t after, std::uint64_t done) {
    return after == 0 ? UINT64_MAX : after - std::min(after, done);
}

// USB moves bytes far faster than the pins: the FIFO is topped up from the
// oldest OUT transfer as soon as there is room.
// A halted endpoint answers every packet with a STALL handshake: the
// transfer under way ends with -EPIPE and what got through before, and so
// does every later one until the host clears the halt.
void takeFromOutTransfers(Chip& chip) {
    while (Transfer* t = oldestWaiting(chip, outEndpoint)) {
        if (chip.outHalted) {
            finish(chip, *t, End::stall, t->moved);
            continue;
        }
        std::uint32_t n = std::min(t->length - t->moved, transmitFifoSize - chip.toPins.count);
        n = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(n, untilFault(chip.faults.stallAfterOut, chip.takenFromHost)));
        fifoPush(chip.toPins, t->buffer + t->moved, n);
        t->moved += n;
        chip.takenFromHost += n;
        if (t->moved == t->length) {
            finish(chip, *t, End::ok, t->length);
        } else if (chip.faults.stallAfterOut != 0 && chip.takenFromHost == chip.faults.stallAfterOut) {
            chip.faults.stallAfterOut = 0;  // once
            chip.outHalted = true;
        } else {
            return;
        }
    }
}

void drainToPins(Chip& chip, std::uint64_t periods) {
    std::array<std::uint8_t, transmitFifoSize> run;
    takeFromOutTransfers(chip);
    while (periods > 0 && chip.toPins.count > 0) {
        auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(
            {periods, chip.toPins.count, untilFault(chip.faults.unplugAfterOut, chip.driven)}));
        fifoPop(chip.toPins, run.data(), n);
        boardDrive(run.data(), n, pinsAreOutputs(chip));
        chip.driven += n;
        periods -= n;
        if (untilFault(chip.faults.unplugAfterOut, chip.driven) == 0) return pullThePlug(chip);
        takeFromOutTransfers(chip);
    }
}

// One packet into an IN transfer; a short one, or a full buffer, ends it.
void sendPacket(Chip& chip, Transfer& t, std::uint32_t samples, Clock::time_point now) {
    std::uint32_t room = t.length - t.moved;
    if (room >= statusBytes.size()) {
        samples = std::min<std::uint32_t>(samples, room - statusBytes.size());
        std::uint8_t* at = t.buffer + t.moved;
        std::memcpy(at, statusBytes.data(), statusBytes.size());
        fifoPop(chip.fromPins, at + statusBytes.size(), samples);
        t.moved += static_cast<std::uint32_t>(statusBytes.size() + samples);
        room -= statusBytes.size() + samples;
    }
    chip.lastPacket = now;
    if (samples < samplesPerPacket || room < packetSize) finish(chip, t, End::ok, t.moved);
}

void sendFullPackets(Chip& chip, Clock::time_point now) {
    while (chip.fromPins.count >= samplesPerPacket) {
        Transfer* t = oldestWaiting(chip, inEndpoint);
        if (!t) return;
        sendPacket(chip, *t, samplesPerPacket, now);
    }
}

void samplePins(Chip& chip, std::uint64_t periods, Clock::time_point now) {
    std::array<std::uint8_t, receiveFifoSize> samples;
    const Faults& f = chip.faults;
    sendFullPackets(chip, now);
    while (periods > 0 && pinsAreInputs(chip)) {
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
        sendFullPackets(chip, now);
        if (untilFault(f.unplugAfterIn, chip.sampledSincePurge) == 0) return pullThePlug(chip);
        if (!chip.pausedSincePurge && untilFault(f.pauseAfter, chip.sampledSincePurge) == 0) {
            chip.pausedSincePurge = true;
            chip.pausePeriodsLeft = static_cast<std::uint64_t>(f.pauseMs * 16 * baudRate(chip) / 1000);
        }
    }
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

void pushAddressReset(Chip& chip, Clock::time_point now) {
    chip.resetPending = false;
    samplePins(chip, receiveFifoSize, now);
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

}  // namespace

void powerUp(Chip& chip, Clock::time_point now) {
    chip.faults = readFaults();
    // The chip's own settings after power-up.
    chip.divisorEighths = 2500;  // 9600 baud
    chip.latencyMs = 16;
    chip.caughtUp = chip.lastPacket = now;
}

void catchUp(Chip& chip, Clock::time_point now) {
    double owed =
        chip.pinPeriodsOwed + std::chrono::duration<double>(now - chip.caughtUp).count() * 16 * baudRate(chip);
    chip.caughtUp = now;
    auto periods = static_cast<std::uint64_t>(owed);
    chip.pinPeriodsOwed = owed - static_cast<double>(periods);
    drainToPins(chip, periods);
    if (!chip.unplugged) samplePins(chip, periods, now);
    if (chip.unplugged) return;
    // The latency timer: a waiting IN transfer gets what there is, perhaps
    // only the status bytes.
    Transfer* t = oldestWaiting(chip, inEndpoint);
    if (t && now - chip.lastPacket >= std::chrono::milliseconds(chip.latencyMs))
        sendPacket(chip, *t, chip.fromPins.count, now);
}

bool submit(Chip& chip, Transfer& slot, std::uint8_t endpoint, std::uint8_t* buffer, std::uint32_t length,
            Clock::time_point now) {
    if (chip.resetPending) pushAddressReset(chip, now);
    if (chip.unplugged) return false;
    slot = Transfer{TransferState::waiting, endpoint, buffer, length, 0, End::ok, ++chip.submissions, 0};
    if (endpoint != 0) catchUp(chip, now);
    return true;
}

void finish(Chip& chip, Transfer& transfer, End end, std::uint32_t moved) {
    transfer.end = end;
    transfer.moved = moved;
    transfer.state = TransferState::done;
    transfer.completed = ++chip.completions;
    const char* how = end == End::ok          ? ""
                      : end == End::stall     ? " stall"
                      : end == End::noDevice ? " no device"
                                              : " discarded";
    if (transfer.endpoint != 0)
        boardLog("bulk %s %d -> %u%s", transfer.endpoint == inEndpoint ? "in" : "out",
                 static_cast<int>(transfer.length), static_cast<unsigned>(moved), how);
}

void discard(Chip& chip, Transfer& transfer) {
    // What already went into the transmit FIFO still goes out.
    finish(chip, transfer, End::discarded, transfer.moved);
}

int answer(Chip& chip, const std::uint8_t* setup, std::uint8_t* data, std::uint32_t room, char* what,
           std::size_t whatSize) {
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
        if (value == 0) clearHalt(chip, index & 0xFF);
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
        std::snprintf(what, whatSize, "baud %.0f", baudRate(chip));
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

void clearHalt(Chip& chip, unsigned endpoint) {
    if (endpoint == outEndpoint) chip.outHalted = false;
}

void emptyTransmitFifo(Chip& chip) { drainToPins(chip, chip.toPins.count); }

}  // namespace ft232r
