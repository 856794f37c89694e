#include "devicelink.h"

#include "console.h"

namespace {

constexpr char cantInit[] = "Can't initialize USB controller.\n";
constexpr char cantSetup[] = "Can't setup USB controller.\n";

int setupFailed(FT_HANDLE handle) {
    // The program ends right after this; a handle left open would keep the
    // device claimed until the driver notices the process is gone.
    FT_Close(handle);
    return reportFailure(cantSetup);
}

}  // namespace

int initUSB(FT_HANDLE* handle, const LinkSettings& settings) {
    // D2XX takes the description through an untyped pointer that it only reads.
    FT_STATUS opened = FT_OpenEx(const_cast<char*>(deviceDescription), d2xx::openByDescription, handle);
    if (opened != d2xx::ok) return reportFailure(cantInit);
    if (FT_SetBaudRate(*handle, settings.baudRate) != d2xx::ok) return setupFailed(*handle);
    if (FT_SetBitMode(*handle, settings.pinMask, settings.bitMode) != d2xx::ok)
        return setupFailed(*handle);
    // With the driver's input task asleep, nothing the pins pick up while the
    // operator prepares the board piles up behind the data we want.
    if (FT_StopInTask(*handle) != d2xx::ok) return setupFailed(*handle);
    return 0;
}
