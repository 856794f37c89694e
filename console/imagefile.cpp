#include "imagefile.h"

#include "console.h"
#include "files.h"
#include "ihex.h"
#include "raw.h"
#include "srec.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace {

bool refuseImage(ImageFile& image, const char* verb, const ArgChar* path, const char* reason) {
    reportFileProblem(verb, path, reason);
    closeImage(image);
    return false;
}

bool refuseRead(ImageFile& image, const ArgChar* path) {
    reportFileFailure("read", path, errno);
    closeImage(image);
    return false;
}

// The rest of a text after its first bytes, all of it: the readers check
// the whole before anything is sent.
bool readRest(ImageFile& image, std::vector<char>& text) {
    text.assign(image.peeked.begin(), image.peeked.begin() + static_cast<std::ptrdiff_t>(image.peekedCount));
    std::array<char, 65536> chunk;
    while (!std::feof(image.file) && !std::ferror(image.file)) {
        std::size_t taken = std::fread(chunk.data(), 1, chunk.size(), image.file);
        text.insert(text.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(taken));
    }
    return !std::ferror(image.file);
}

bool readText(ImageFile& image, const char* verb, const ArgChar* path) {
    std::vector<char> text;
    if (!readRest(image, text)) return refuseRead(image, path);
    TextRefusal refusal{0, {}};
    bool read = image.format == ImageFormat::ihex ? readIhex(text.data(), text.size(), image.text, refusal)
                                                  : readSrec(text.data(), text.size(), image.text, refusal);
    if (!read) {
        std::array<char, 128> reason;
        std::snprintf(reason.data(), reason.size(), "line %lu: %s", static_cast<unsigned long>(refusal.line),
                      refusal.reason);
        return refuseImage(image, verb, path, reason.data());
    }
    if (image.text.runs.empty()) return refuseImage(image, verb, path, imageGivesNothing);
    if (image.placed && !shiftImage(image.text, image.at)) return refuseImage(image, verb, path, imageRunsPast);
    return true;
}

}  // namespace

bool takeImage(const ArgChar* path, const char* verb, const ImageOptions& options, ImageFile& image) {
    image.file = openImage(path);
    if (!image.file) return false;
    image.format = ImageFormat::raw;
    image.at = options.at;
    image.placed = options.atGiven;
    image.length = 0;
    image.peekedCount = image.peekedTaken = 0;
    image.taken = 0;
    switch (imageLength(image.file, image.length)) {
    case ImageLength::unknown:
        image.lengthKnown = false;
        break;
    case ImageLength::tooLong:
        return refuseImage(image, verb, path, imageTooLong);
    case ImageLength::fits:
        image.lengthKnown = true;
        break;
    }
    // A raw image on a pipe is read only once the operator has fitted the
    // chip, as it always was: its command may still be running.
    bool rawGiven = options.formatGiven && options.format == ImageFormat::raw;
    if (!rawGiven || image.lengthKnown) {
        image.peekedCount = std::fread(image.peeked.data(), 1, image.peeked.size(), image.file);
        if (std::ferror(image.file)) return refuseRead(image, path);
    }
    image.format = options.formatGiven ? options.format : detectFormat(image.peeked.data(), image.peekedCount);
    if (image.format != ImageFormat::raw) return readText(image, verb, path);
    // Some files say they are empty and hold more: only a read tells.
    if (image.lengthKnown && image.peekedCount == 0) return refuseImage(image, verb, path, imageEmpty);
    if (image.lengthKnown && pastLongestImage(image.at, image.length)) return refuseImage(image, verb, path, imageRunsPast);
    // A file on a disk is read again from its start: the look took a
    // buffer of it, and a file cut short while the operator fits the chip
    // must burn only what it still holds.
    if (image.lengthKnown && std::fseek(image.file, 0, SEEK_SET) == 0) image.peekedCount = 0;
    return true;
}

void closeImage(ImageFile& image) {
    if (image.file) std::fclose(image.file);
    image.file = nullptr;
}

std::uint32_t fillImageStretch(ImageFile& image, std::uint32_t address, std::uint32_t count, std::uint8_t* bytes,
                               bool* given) {
    if (image.format != ImageFormat::raw) return fillStretch(image.text, address, count, bytes, given);
    std::fill(bytes, bytes + count, erasedByte);
    if (given) std::fill(given, given + count, false);
    // The addresses before the image's first byte are none of its own.
    std::uint32_t from = image.at > address ? image.at - address : 0u;
    if (from >= count) return 0;
    std::uint8_t* into = bytes + from;
    std::size_t wanted = count - from;
    std::size_t taken = std::min(wanted, image.peekedCount - image.peekedTaken);
    std::memcpy(into, image.peeked.data() + image.peekedTaken, taken);
    image.peekedTaken += taken;
    if (taken < wanted) taken += std::fread(into + taken, 1, wanted - taken, image.file);
    image.taken += taken;
    if (given) std::fill(given + from, given + from + taken, true);
    return static_cast<std::uint32_t>(taken);
}

bool imageEnded(const ImageFile& image, std::uint64_t address) {
    if (image.format != ImageFormat::raw) return address > highestAddress(image.text);
    return image.peekedTaken == image.peekedCount && std::feof(image.file);
}

bool rawImageGoesOn(ImageFile& image) {
    if (image.peekedTaken < image.peekedCount) return true;
    int c = std::getc(image.file);
    if (c == EOF) return false;
    std::ungetc(c, image.file);
    return true;
}

bool rawImageRunsPast(const ImageFile& image) {
    return image.format == ImageFormat::raw && pastLongestImage(image.at, image.taken);
}

const char* runsPastReason(const ImageFile& image) { return image.at == 0 ? imageTooLong : imageRunsPast; }
