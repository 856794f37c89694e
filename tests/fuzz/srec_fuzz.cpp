// Any text into the S-record reader: it must refuse or give an image whose
// runs are in order, apart and backed by its bytes, never read past the text
// or overflow, and the format must be told from the same bytes.
#include "detect.h"
#include "srec.h"

#include "check_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    TextImage image;
    TextRefusal refusal;
    checkImage(readSrec(text, size, image, refusal), image, refusal);
    detectFormat(text, size < formatPeekLength ? size : formatPeekLength);
    return 0;
}
