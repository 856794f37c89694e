#include "detect.h"

#include "ihex.h"
#include "srec.h"

ImageFormat detectFormat(const char* bytes, std::size_t count) {
    std::size_t position = 0;
    TextLine line{bytes, 0, 0};
    // Blank lines ahead of the first record are a text's too, as the
    // readers take them anywhere.
    do {
        if (!nextLine(bytes, count, position, line)) return ImageFormat::raw;
    } while (line.length == 0);
    if (isIhexRecord(line.text, line.length)) return ImageFormat::ihex;
    if (isSrecRecord(line.text, line.length)) return ImageFormat::srec;
    return ImageFormat::raw;
}
