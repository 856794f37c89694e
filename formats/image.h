// What every image format shares. An image's bytes each have a ROM address:
// a raw image's byte n is address n, a text image says each byte's address.
// The board's counter starts at 0, and sizes are given in 32 bits (a dump's
// at most largestSize), so a raw image has at most longestImage bytes.
#pragma once

#include <cstdint>

// An erased EPROM cell reads 0xFF, and programming only takes bits to 0:
// what a blank chip holds, and what a burn sends where the image gives no
// byte.
constexpr std::uint8_t erasedByte = 0xFF;

// The reasons an image is refused, after "Can't <burn|verify> <image>: ".
constexpr char imageTooLong[] = "it is longer than FFFFFFFF bytes";
constexpr char imageEmpty[] = "it is empty";

constexpr std::uint64_t longestImage = 0xFFFFFFFFu;

// Whether `count` image bytes from `address` on run past the longest image.
bool pastLongestImage(std::uint32_t address, std::uint64_t count);

// The raw format is what the programs read today: its reader comes with
// this header.
#include "raw.h"
