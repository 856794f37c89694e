// The reader's transfer, in its own object file: the writer never links it,
// nor imports the driver's read call.
#include "console.h"
#include "devicelink.h"

namespace {

constexpr char cantInput[] = "Can't input from USB controller.\n";

}  // namespace

int inUSB(FT_HANDLE handle, std::uint8_t* buffer, std::uint32_t count) {
    DWORD read = 0;
    if (FT_Read(handle, buffer, count, &read) != d2xx::ok || read != count)
        return reportFailure(cantInput);
    return 0;
}
