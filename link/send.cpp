// The writer's transfer, in its own object file: a program that only reads
// the chip never links it, nor imports the driver's write call.
#include "console.h"
#include "devicelink.h"

namespace {

constexpr char cantOutput[] = "Can't output to USB controller.\n";

}  // namespace

int outUSB(FT_HANDLE handle, std::uint8_t* buffer, std::uint32_t count) {
    DWORD written = 0;
    if (FT_Write(handle, buffer, count, &written) != d2xx::ok || written != count)
        return reportFailure(cantOutput);
    return 0;
}
