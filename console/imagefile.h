// An image as chipburn and chipverify take it. Its format is told from its
// first bytes, unless the user gave it. A text image (Intel HEX, S-record)
// is read whole and checked before the board is touched; a raw one streams
// a stretch at a time, its first bytes kept from the look that told its
// format, so that a pipe needs no going back.
#pragma once

#include "detect.h"
#include "image.h"
#include "options.h"
#include "system.h"
#include "textimage.h"

#include <array>
#include <cstdint>
#include <cstdio>

// The reasons an image is refused beside image.h's.
constexpr char imageRunsPast[] = "it would run past FFFFFFFF";
constexpr char imageGivesNothing[] = "it gives no bytes";

struct ImageFile {
    std::FILE* file;
    ImageFormat format;
    std::uint32_t at;  // where a raw image's first byte goes
    bool placed;       // whether the user said where
    bool lengthKnown;  // a regular file's, before it is read
    std::uint64_t length;
    std::array<char, formatPeekLength> peeked;
    std::size_t peekedCount;
    std::size_t peekedTaken;
    std::uint64_t taken;  // raw bytes taken so far, the peeked ones included
    TextImage text;
};

// Opens the image and judges it before the board is touched: a raw one as
// far as its length and first bytes tell, a text one whole, placed where
// the options say. A refusal gets "Can't <verb> <path>: <reason>" on stderr
// (for a text, the reason starts with its line), and false, the image
// closed. A raw image on a pipe that ends before its first byte is taken
// as today: it is found empty where it is read.
bool takeImage(const ArgChar* path, const char* verb, const ImageOptions& options, ImageFile& image);

void closeImage(ImageFile& image);

// Puts the image's bytes for the `count` chip addresses from `address` in
// `bytes`, the erased byte where it gives none, and, unless `given` is
// null, whether it gives each; returns how many it gives. A raw image is
// read on as far as the stretch goes: a failed read leaves ferror set on
// image.file.
std::uint32_t fillImageStretch(ImageFile& image, std::uint32_t address, std::uint32_t count, std::uint8_t* bytes,
                               bool* given);

// A raw image all taken; for a text image, whether the stretch from
// `address` is past its highest address.
bool imageEnded(const ImageFile& image, std::uint64_t address);

// Whether a raw image has a byte still to come: a pipe says so only once
// it is read, so a byte is read ahead and kept.
bool rawImageGoesOn(ImageFile& image);

// A raw stream that turned out to run past FFFFFFFF from where it goes,
// and the reason to give for it.
bool rawImageRunsPast(const ImageFile& image);
const char* runsPastReason(const ImageFile& image);
