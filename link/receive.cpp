// The reader's transfer, in its own object file: the writer never links it,
// nor imports the driver's read call.
#include "devicelink.h"
#include "transfer.h"

int inUSB(FT_HANDLE handle, std::uint8_t* buffer, std::uint32_t count) {
    DWORD read = 0;
    FT_STATUS status = FT_Read(handle, buffer, count, &read);
    return blockMoved(status, read, count, "Can't input from USB controller.\n");
}
