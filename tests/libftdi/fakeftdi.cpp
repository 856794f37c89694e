#include "fakeftdi.h"

#include <ftdi.h>

#include <algorithm>
#include <cstring>
#include <time.h>

namespace fake {

Library ftdi;

namespace {

std::array<ftdi_context, 2> contexts;
std::array<bool, 2> contextInUse;
// Stands in for libusb's device handle; only its being set matters.
char usbDevice;

// The FT232R/FT245R derive the rate from 3 MHz through a divisor with an
// eighths fraction, at most 16383.875 (FTDI AN232B-05). libftdi refuses a
// rate the divisor misses by more than about 5 %.
constexpr std::int64_t clockEighths = 3000000LL * 8;
constexpr std::int64_t maxDivisorEighths = 16383 * 8 + 7;

bool opened(ftdi_context* context) { return context != nullptr && context->usb_dev != nullptr; }

int takeError(int& error) {
    int result = error;
    error = 0;
    return result;
}

}  // namespace

void reset() {
    ftdi = Library{};
    contexts = {};
    contextInUse = {};
}

}  // namespace fake

using fake::ftdi;

extern "C" {

ftdi_context* ftdi_new(void) {
    if (ftdi.newFails) return nullptr;
    for (std::size_t i = 0; i < fake::contexts.size(); ++i) {
        if (fake::contextInUse[i]) continue;
        fake::contextInUse[i] = true;
        fake::contexts[i] = ftdi_context{};
        fake::contexts[i].usb_read_timeout = 5000;
        fake::contexts[i].usb_write_timeout = 5000;
        ++ftdi.liveContexts;
        return &fake::contexts[i];
    }
    return nullptr;
}

void ftdi_free(ftdi_context* context) {
    for (std::size_t i = 0; i < fake::contexts.size(); ++i)
        if (context == &fake::contexts[i] && fake::contextInUse[i]) {
            fake::contextInUse[i] = false;
            --ftdi.liveContexts;
        }
}

// Like libftdi, it goes through the attached devices of that id in order
// and gives up at the first one it cannot open.
int ftdi_usb_open_desc(ftdi_context* context, int vendor, int product, const char* description,
                       const char* serial) {
    if (context == nullptr) return -11;
    if (ftdi.searches < static_cast<int>(ftdi.productsSearched.size()))
        ftdi.productsSearched[ftdi.searches] = product;
    ++ftdi.searches;
    for (int i = 0; i < ftdi.deviceCount; ++i) {
        const fake::Device& device = ftdi.devices[i];
        if (vendor != 0x0403 || device.product != product) continue;
        if (device.openError != 0) return device.openError;
        if ((description == nullptr || std::strcmp(description, device.description) == 0) && serial == nullptr) {
            context->usb_dev = reinterpret_cast<libusb_device_handle*>(&fake::usbDevice);
            context->bitbang_enabled = 0;
            return 0;
        }
    }
    return -3;
}

int ftdi_usb_close(ftdi_context* context) {
    if (!fake::opened(context)) return -3;
    context->usb_dev = nullptr;
    return fake::takeError(ftdi.closeError);
}

int ftdi_set_baudrate(ftdi_context* context, int baudrate) {
    if (!fake::opened(context)) return -3;
    if (context->bitbang_enabled) baudrate *= 4;
    if (baudrate <= 0) return -1;
    std::int64_t eighths = (fake::clockEighths + baudrate / 2) / baudrate;
    if (eighths < 8 || eighths > fake::maxDivisorEighths) return -1;
    if (int error = fake::takeError(ftdi.baudError)) return error;
    ftdi.rateConverted = baudrate;
    ftdi.divisorEighths = static_cast<int>(eighths);
    context->baudrate = baudrate;
    return 0;
}

int ftdi_set_bitmode(ftdi_context* context, unsigned char bitmask, unsigned char mode) {
    if (!fake::opened(context)) return -2;
    if (int error = fake::takeError(ftdi.bitModeError)) return error;
    ftdi.pinMask = bitmask;
    ftdi.bitMode = mode;
    context->bitbang_mode = mode;
    context->bitbang_enabled = mode == BITMODE_RESET ? 0 : 1;
    return 0;
}

int ftdi_tciflush(ftdi_context* context) {
    if (!fake::opened(context)) return -3;
    if (int error = fake::takeError(ftdi.flushError)) return error;
    ++ftdi.flushedInput;
    return 0;
}

int ftdi_tcoflush(ftdi_context* context) {
    if (!fake::opened(context)) return -3;
    if (int error = fake::takeError(ftdi.flushError)) return error;
    ++ftdi.flushedOutput;
    return 0;
}

int ftdi_tcioflush(ftdi_context* context) {
    if (!fake::opened(context)) return -3;
    if (int error = fake::takeError(ftdi.flushError)) return error;
    ++ftdi.flushedInput;
    ++ftdi.flushedOutput;
    return 0;
}

int ftdi_write_data(ftdi_context* context, const unsigned char* buf, int size) {
    if (!fake::opened(context) || buf == nullptr) return -666;
    if (int error = fake::takeError(ftdi.writeError)) return error;
    ftdi.bytesWritten += size;
    return size;
}

int ftdi_read_data(ftdi_context* context, unsigned char* buf, int size) {
    if (!fake::opened(context) || buf == nullptr || size <= 0) return -666;
    // A module that never gives up would otherwise hang the test.
    if (++ftdi.readCalls > fake::runawayReads) return -666;
    ftdi.nowMs += fake::latencyMs;
    if (ftdi.step >= ftdi.steps) return 0;
    fake::ReadStep& step = ftdi.script[ftdi.step];
    int result = 0;
    if (step.error != 0) {
        result = step.error;
        ++ftdi.step;
    } else if (step.bytes > 0) {
        result = std::min(size, step.bytes - ftdi.stepDone);
        for (int i = 0; i < result; ++i) buf[i] = ftdi.nextSample++;
        ftdi.stepDone += result;
    } else {
        ftdi.stepDone += fake::latencyMs;
    }
    if (step.error == 0 && ftdi.stepDone >= std::max(step.bytes, step.silentMs)) {
        ++ftdi.step;
        ftdi.stepDone = 0;
    }
    return result;
}

int __real_clock_gettime(clockid_t clock, timespec* now);

// Linked with -Wl,--wrap=clock_gettime: the module's monotonic clock is the
// fake chip's time; every other clock stays real.
int __wrap_clock_gettime(clockid_t clock, timespec* now) {
    if (clock != CLOCK_MONOTONIC) return __real_clock_gettime(clock, now);
    now->tv_sec = static_cast<time_t>(ftdi.nowMs / 1000);
    now->tv_nsec = static_cast<long>(ftdi.nowMs % 1000) * 1000000L;
    return 0;
}

}  // extern "C"
