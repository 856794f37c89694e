// The sizes the programs are given: how many ROM addresses to read.
#pragma once

#include "system.h"

#include <cstdint>

// Sizes, and the ROM addresses the programs count, are 32 bits.
constexpr std::uint64_t largestSize = 0xFFFFFFFFu;

// Reads a ROM size in hexadecimal as "%x" does (a leading 0x allowed), but
// only when the whole text is one such number that fits in 32 bits.
bool parseSize(const ArgChar* text, std::uint32_t& size);

// The same, with the line that refuses anything else on stderr; 0 too: a
// dump of nothing would replace a good one with an empty file, and a check
// of nothing would pass every chip.
bool takeSize(const ArgChar* text, std::uint32_t& size);
