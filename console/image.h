// The image a program burns or compares with the chip: its byte n is ROM
// address n. The board's counter starts at 0, and sizes are given in 32 bits
// (a dump's at most largestSize), so an image has at most as many bytes.
#pragma once

#include <cstdint>
#include <cstdio>

// An erased EPROM cell reads 0xFF, and programming only takes bits to 0:
// what a blank chip holds, and what a burn past the image's end sends.
constexpr std::uint8_t erasedByte = 0xFF;

// The reasons an image is refused, after "Can't <burn|verify> <image>: ".
constexpr char imageTooLong[] = "it is longer than FFFFFFFF bytes";
constexpr char imageEmpty[] = "it is empty";

// Whether `count` image bytes from `address` on run past the longest image.
bool pastLongestImage(std::uint32_t address, std::uint64_t count);

// A regular file tells its length, in `bytes`, before the board is opened;
// a pipe or a device tells it only as it is read. Some files the system
// makes up as they are read (Linux's /proc) say 0 and hold more.
enum class ImageLength { unknown, fits, tooLong };
ImageLength imageLength(std::FILE* image, std::uint64_t& bytes);
