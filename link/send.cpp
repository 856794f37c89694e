// The writer's transfer, in its own object file: a program that only reads
// the chip never links it, nor imports the driver's write call.
#include "devicelink.h"
#include "transfer.h"

int outUSB(FT_HANDLE handle, std::uint8_t* buffer, std::uint32_t count) {
    DWORD written = 0;
    FT_STATUS status = FT_Write(handle, buffer, count, &written);
    return blockMoved(status, written, count, "Can't output to USB controller.\n");
}
