// Motorola S-record: records "STCC<address><data>KK", one a line. S0 a
// header, S1, S2 and S3 data with 16-, 24- and 32-bit addresses, S5 and S6
// the count of data records so far, S7, S8 and S9 a start address (which a
// ROM has no use for) that ends the file.
#pragma once

#include "textimage.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Whether a line, without its line end, is a well-formed record with its
// checksum right: how an S-record image is told from a raw one.
bool isSrecRecord(const char* line, std::size_t length);

// Reads a whole text: S0 to S3 and S5 to S9 in upper- or lower-case
// hexadecimal, LF or CRLF, blank lines anywhere; a count checked against
// the data records before it. The text ends at an end record (S7 to S9),
// or at a count, which is how srec_cat ends one unless told a start
// address: after either only blank lines, or after a count an end record.
// A refusal says the line: for a missing end, the line after the last.
bool readSrec(const char* text, std::size_t length, TextImage& image, TextRefusal& refusal);

// A dump written as it is read: an S0 header with no text, data records
// with the shortest addresses that reach the dump's highest (S1, S2 or S3),
// 32 bytes a record as in Intel HEX, the count (S5, or S6 past FFFF
// records, or none past FFFFFF) and the end record that matches the data
// records (S9, S8 or S7). Lines end in "\n" alone. Each call returns false
// when a line could not all be written, with ferror set; on a buffered
// stream that may show only at fflush or fclose, which the caller checks as
// for a raw dump.
struct SrecWriter {
    std::FILE* out;
    std::uint32_t addressLength;  // in bytes: 2, 3 or 4
    std::uint32_t records;        // data records written
};

bool startSrec(SrecWriter& writer, std::FILE* out, std::uint32_t size);
bool writeSrec(SrecWriter& writer, std::uint32_t address, const std::uint8_t* bytes, std::uint32_t count);
bool endSrec(SrecWriter& writer);
