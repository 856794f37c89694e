// A text image, Intel HEX or S-record: read whole and checked before the
// board is touched, so that a refused text costs the operator no chip.
// Each record says where its bytes go; addresses no record gives are left
// to the erased byte. Memory follows the image's bytes, not its addresses:
// a record at FFFFFF00 costs what one at 0 does.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

// Consecutive addresses the image gives, their bytes at `offset` in the
// image's bytes.
struct ImageRun {
    std::uint32_t address;
    std::uint32_t length;
    std::size_t offset;
};

// The runs in address order, none touching another (touching ones are one
// run), and their bytes in the same order.
struct TextImage {
    std::vector<ImageRun> runs;
    std::vector<std::uint8_t> bytes;
};

// Why a text is refused: its 1-based line, and the reason, to follow
// "Can't burn IMAGE: line N: ".
struct TextRefusal {
    std::size_t line;
    char reason[80];
};

// The lowest and highest address an image that is not empty gives.
std::uint32_t lowestAddress(const TextImage& image);
std::uint32_t highestAddress(const TextImage& image);

// Puts the image's bytes for the `count` addresses from `address` in
// `bytes`, the erased byte where it gives none, and, unless `given` is
// null, whether it gives each. Returns how many of them it gives.
std::uint32_t fillStretch(const TextImage& image, std::uint32_t address, std::uint32_t count, std::uint8_t* bytes,
                          bool* given);

// Moves the image so that its lowest address is `lowest`; the rest keep
// their distances. False, the image as it was, when it would run past
// FFFFFFFF.
bool shiftImage(TextImage& image, std::uint32_t lowest);

// What the two readers and the two writers share.

// A line of the text without its line end (LF or CRLF).
struct TextLine {
    const char* text;
    std::size_t length;
    std::size_t number;
};

// The next line from `position` on; false past the end of the text.
bool nextLine(const char* text, std::size_t length, std::size_t& position, TextLine& line);

// The longest record's bytes, Intel HEX's: count, address, type, 255 data
// bytes and the checksum.
using RecordBytes = std::array<std::uint8_t, 260>;

// Decodes a record's hexadecimal digits, upper- or lower-case, as far as
// `bytes` holds them, and tells how many bytes the digits make. Refused
// for anything but hexadecimal digits in pairs.
bool decodeRecord(const char* digits, std::size_t count, RecordBytes& bytes, std::size_t& decoded,
                  TextRefusal& refusal, std::size_t line);

// The number `count` bytes make, the first the most significant.
std::uint32_t bigEndian(const std::uint8_t* bytes, std::size_t count);

std::uint8_t byteSum(const std::uint8_t* bytes, std::size_t count);

// Fills in the refusal, its reason as printf would write it; returns false.
#if defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
bool refuse(TextRefusal& refusal, std::size_t line, const char* format, ...);

// The data records as read, in the text's order; finishImage puts them in
// address order.
struct DraftRecord : ImageRun {
    std::size_t line;
};
struct ImageDraft {
    std::vector<DraftRecord> records;
    std::vector<std::uint8_t> bytes;
};

// Takes a record's data, refused when it runs past FFFFFFFF.
bool addRecord(ImageDraft& draft, std::uint64_t address, const std::uint8_t* data, std::uint32_t count,
               std::size_t line, TextRefusal& refusal);

// The image in address order, refused where an address is given twice
// with different bytes (the same bytes twice are one byte).
bool finishImage(ImageDraft& draft, TextImage& image, TextRefusal& refusal);

// How far a text has come: not to its end yet, to a record it may end at
// (an S-record count), or past its end record, after which only blank
// lines may come.
enum class TextEnd { notYet, mayEnd, ended };

// Hands each line that is not blank to take(line, end), which refuses it,
// or takes it and moves `end` on; then puts the draft in address order. A
// text that never came to its end is refused on the line after its last.
template <typename Take>
bool readRecords(const char* text, std::size_t length, ImageDraft& draft, TextImage& image, TextRefusal& refusal,
                 Take take) {
    TextEnd end = TextEnd::notYet;
    std::size_t position = 0;
    TextLine line{text, 0, 0};
    while (nextLine(text, length, position, line)) {
        if (line.length == 0) continue;
        if (end == TextEnd::ended) return refuse(refusal, line.number, "text after the end record");
        if (!take(line, end)) return false;
    }
    if (end == TextEnd::notYet) return refuse(refusal, line.number + 1, "no end record");
    return finishImage(draft, image, refusal);
}

// One record on its line: `start`, then the bytes and the checksum in
// upper-case hexadecimal, and "\n". False when it could not all be
// written; ferror is set.
bool putRecord(std::FILE* out, const char* start, const std::uint8_t* bytes, std::size_t count,
               std::uint8_t checksum);
