// The format an image is in, told from its first line that is not blank
// (within the first bytes looked at): a well-formed Intel
// HEX record with its checksum right makes it Intel HEX, a well-formed
// S-record S-record, anything else raw bytes, as images have always been.
#pragma once

#include <cstddef>

enum class ImageFormat { raw, ihex, srec };

// As many bytes as the longest record's line holds, with its line end: a
// pipe is read this far to be told, and its bytes are kept for the image.
constexpr std::size_t formatPeekLength = 600;

// Told from the image's first bytes: up to formatPeekLength, or all of it
// when it is shorter.
ImageFormat detectFormat(const char* bytes, std::size_t count);
