#include "detect.h"

#include "ihex.h"
#include "srec.h"

ImageFormat detectFormat(const char* bytes, std::size_t count) {
    std::size_t position = 0;
    TextLine line{bytes, 0, 0};
    if (!nextLine(bytes, count, position, line)) return ImageFormat::raw;
    if (isIhexRecord(line.text, line.length)) return ImageFormat::ihex;
    if (isSrecRecord(line.text, line.length)) return ImageFormat::srec;
    return ImageFormat::raw;
}
