#pragma once

#include <cstdint>

// Reads a ROM size in hexadecimal as "%x" does (a leading 0x allowed), but
// only when the whole text is one such number that fits in 32 bits.
bool parseSize(const char* text, std::uint32_t& size);
