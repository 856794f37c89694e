// The raw format: the image's bytes as they are, byte n for ROM address n,
// streamed a block at a time.
#pragma once

#include <cstdint>
#include <cstdio>

// A regular file tells its length, in `bytes`, before the board is opened;
// a pipe or a device tells it only as it is read. Some files the system
// makes up as they are read (Linux's /proc) say 0 and hold more.
enum class ImageLength { unknown, fits, tooLong };
ImageLength imageLength(std::FILE* image, std::uint64_t& bytes);
