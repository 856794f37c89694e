// Intel HEX: records ":LLAAAATT<data>CC", one a line. Types 00 (data),
// 01 (end), 02 and 04 (the upper address bits: a segment base times 16, or
// the upper 16 bits), 03 and 05 (a start address, which a ROM has no use
// for).
#pragma once

#include "textimage.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Whether a line, without its line end, is a well-formed record with its
// checksum right: how an Intel HEX image is told from a raw one.
bool isIhexRecord(const char* line, std::size_t length);

// Reads a whole text: records of types 00 to 05 in upper- or lower-case
// hexadecimal, LF or CRLF, blank lines anywhere; the end record (01)
// required, and after it only blank lines. A refusal says the line: for a
// missing end record, the line after the last.
bool readIhex(const char* text, std::size_t length, TextImage& image, TextRefusal& refusal);

// A dump written as it is read: 32 data bytes a record (the length most
// tools write), each record within 32 aligned addresses, so a 2048-address
// stretch is 64 whole records and no record crosses a 64 KiB boundary. An
// 04 record each time the upper 16 bits change: none for a dump below
// 64 KiB. Lines end in "\n" alone. Each call returns false when a line
// could not all be written, with ferror set; on a buffered stream that may
// show only at fflush or fclose, which the caller checks as for a raw dump.
struct IhexWriter {
    std::FILE* out;
    std::uint32_t upper;  // the upper 16 bits the reader holds
};

void startIhex(IhexWriter& writer, std::FILE* out);
bool writeIhex(IhexWriter& writer, std::uint32_t address, const std::uint8_t* bytes, std::uint32_t count);
bool endIhex(IhexWriter& writer);
