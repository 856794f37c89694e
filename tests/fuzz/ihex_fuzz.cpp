// Any text into the Intel HEX reader: it must refuse it or give an image whose
// runs add up, never read past the text or overflow.
#include "ihex.h"

#include "check_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzzReader(data, size, readIhex);
}
