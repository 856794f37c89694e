// The nine driver calls over libftdi1, for Linux and macOS, where the board
// is reached through libusb instead of the vendor's driver. Each call answers
// the way the vendor's driver does, so the device link cannot tell the two
// apart; where libftdi behaves differently underneath, the comment says how.
#include "d2xx.h"

#include <ftdi.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <time.h>

namespace {

constexpr int ftdiVendor = 0x0403;
// FT232R/FT245R/FT232BM, FT2232, FT4232H, FT232H, FT-X: the vendor's driver
// finds a description on any of them, so the search covers them all.
constexpr std::array<int, 5> ftdiProducts{0x6001, 0x6010, 0x6011, 0x6014, 0x6015};

constexpr int ftdiUnsupportedRate = -1;

// The vendor's driver waits for ever by default; a board that stopped
// answering would then hang the program. Reading gives up after as long
// without a single byte as libftdi's own USB timeout lets a write block.
// A live chip in bit-bang input mode sends samples all the time, so
// silence this long means the board is gone.
constexpr std::int64_t silentLinkLimitMs = 5000;

// One board at a time. The handle is its context, and a handle that is not
// the open one is refused, as the vendor's driver refuses a closed handle,
// instead of reaching a context that was freed.
ftdi_context* openBoard = nullptr;

ftdi_context* boardOf(FT_HANDLE handle) {
    return handle != nullptr && handle == openBoard ? openBoard : nullptr;
}

std::int64_t monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

FT_STATUS transferStatus(int result) { return result == 0 ? d2xx::ok : d2xx::ioError; }

}  // namespace

extern "C" {

FT_STATUS D2XX_API FT_OpenEx(void* arg, DWORD flags, FT_HANDLE* handle) {
    if (arg == nullptr || handle == nullptr || flags != d2xx::openByDescription)
        return d2xx::invalidParameter;
    if (openBoard != nullptr) return d2xx::deviceNotOpened;
    // NULL when libusb cannot start: nothing can be reached, and the only
    // other cause is memory.
    ftdi_context* context = ftdi_new();
    if (context == nullptr) return d2xx::insufficientResources;
    const char* description = static_cast<const char*>(arg);
    // Each candidate is opened to read its description. ftdi_usb_open_desc
    // gives up at the first one it cannot open (another user's adapter, one
    // the udev rule does not cover), though the board may come after it; so
    // the devices are listed and asked one by one, and one that cannot be
    // asked is passed over. If the board is not found, having passed one
    // over is the more useful answer.
    bool passedOver = false;
    for (int product : ftdiProducts) {
        ftdi_device_list* devices = nullptr;
        if (ftdi_usb_find_all(context, &devices, ftdiVendor, product) < 0) {
            passedOver = true;
            continue;
        }
        for (ftdi_device_list* device = devices; device != nullptr; device = device->next) {
            // A USB string descriptor holds at most 126 characters.
            std::array<char, 128> name{};
            if (ftdi_usb_get_strings(context, device->dev, nullptr, 0, name.data(), name.size(), nullptr, 0) != 0) {
                passedOver = true;
                continue;
            }
            if (std::strcmp(name.data(), description) != 0) continue;
            int result = ftdi_usb_open_dev(context, device->dev);
            ftdi_list_free(&devices);
            if (result != 0) {
                ftdi_free(context);
                return d2xx::deviceNotOpened;
            }
            openBoard = context;
            *handle = context;
            return d2xx::ok;
        }
        ftdi_list_free(&devices);
    }
    ftdi_free(context);
    return passedOver ? d2xx::deviceNotOpened : d2xx::deviceNotFound;
}

FT_STATUS D2XX_API FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate) {
    ftdi_context* context = boardOf(handle);
    if (context == nullptr) return d2xx::invalidHandle;
    if (baudRate == 0 || baudRate > INT_MAX) return d2xx::invalidBaudRate;
    // Once bit-bang is on, libftdi multiplies the rate by 4 before it picks
    // the divisor; the vendor's driver never does. Set after the bit mode,
    // the writer would then clock its bytes 4 times too fast and cut every
    // programming pulse short. With the flag hidden for this one call the
    // chip gets the vendor driver's divisor in either order.
    unsigned char bitBang = context->bitbang_enabled;
    context->bitbang_enabled = 0;
    int result = ftdi_set_baudrate(context, static_cast<int>(baudRate));
    context->bitbang_enabled = bitBang;
    if (result == ftdiUnsupportedRate) return d2xx::invalidBaudRate;
    return transferStatus(result);
}

FT_STATUS D2XX_API FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) {
    ftdi_context* context = boardOf(handle);
    if (context == nullptr) return d2xx::invalidHandle;
    return transferStatus(ftdi_set_bitmode(context, mask, mode));
}

// The vendor's driver keeps a thread reading the chip into its own buffer;
// these two put it to sleep and wake it, so a purge is not refilled behind
// the program's back. libftdi has no such thread: it moves data only inside
// ftdi_read_data, so between reads the samples wait in the chip's FIFO, which
// stops sampling when full and which the purge empties. There is nothing to
// stop, only the handle to check.
FT_STATUS D2XX_API FT_StopInTask(FT_HANDLE handle) {
    return boardOf(handle) != nullptr ? d2xx::ok : d2xx::invalidHandle;
}

FT_STATUS D2XX_API FT_RestartInTask(FT_HANDLE handle) {
    return boardOf(handle) != nullptr ? d2xx::ok : d2xx::invalidHandle;
}

FT_STATUS D2XX_API FT_Purge(FT_HANDLE handle, std::uint32_t mask) {
    ftdi_context* context = boardOf(handle);
    if (context == nullptr) return d2xx::invalidHandle;
    // The vendor's "receive" is what the host receives, which libftdi (from
    // 1.5, named after tcflush) calls input; its older purge calls had the
    // two directions the other way round.
    switch (mask & (d2xx::purgeRx | d2xx::purgeTx)) {
    case d2xx::purgeRx | d2xx::purgeTx: return transferStatus(ftdi_tcioflush(context));
    case d2xx::purgeRx: return transferStatus(ftdi_tciflush(context));
    case d2xx::purgeTx: return transferStatus(ftdi_tcoflush(context));
    default: return d2xx::ok;
    }
}

FT_STATUS D2XX_API FT_Write(FT_HANDLE handle, void* buffer, DWORD count, DWORD* written) {
    ftdi_context* context = boardOf(handle);
    if (context == nullptr) return d2xx::invalidHandle;
    if (written == nullptr || (buffer == nullptr && count > 0) || count > INT_MAX)
        return d2xx::invalidParameter;
    *written = 0;
    // libftdi sends it all, a chunk at a time, or fails without saying how
    // much got through before the failure.
    int result = ftdi_write_data(context, static_cast<const unsigned char*>(buffer), static_cast<int>(count));
    if (result < 0) return d2xx::ioError;
    *written = static_cast<DWORD>(result);
    return d2xx::ok;
}

FT_STATUS D2XX_API FT_Read(FT_HANDLE handle, void* buffer, DWORD count, DWORD* read) {
    ftdi_context* context = boardOf(handle);
    if (context == nullptr) return d2xx::invalidHandle;
    if (read == nullptr || (buffer == nullptr && count > 0)) return d2xx::invalidParameter;
    auto* bytes = static_cast<unsigned char*>(buffer);
    DWORD got = 0;
    *read = 0;
    // ftdi_read_data hands over what has come so far, often nothing: the chip
    // answers each request after its latency timer (16 ms) even when it has
    // no data, so an empty answer is a pause, not an end.
    std::int64_t lastData = monotonicMs();
    while (got < count) {
        int want = static_cast<int>(std::min<DWORD>(count - got, INT_MAX));
        int result = ftdi_read_data(context, bytes + got, want);
        if (result < 0) {
            *read = got;
            return d2xx::ioError;
        }
        if (result > 0) {
            got += static_cast<DWORD>(result);
            lastData = monotonicMs();
        } else if (monotonicMs() - lastData >= silentLinkLimitMs) {
            break;  // a short count with FT_OK, as after a read timeout
        }
    }
    *read = got;
    return d2xx::ok;
}

FT_STATUS D2XX_API FT_Close(FT_HANDLE handle) {
    ftdi_context* context = boardOf(handle);
    if (context == nullptr) return d2xx::invalidHandle;
    // The pins stay in bit-bang as the vendor's driver leaves them; the
    // context is freed even when releasing the device failed, since the
    // handle is gone either way.
    int result = ftdi_usb_close(context);
    ftdi_free(context);
    openBoard = nullptr;
    return transferStatus(result);
}

}  // extern "C"
