#include "image.h"

bool pastLongestImage(std::uint32_t address, std::uint64_t count) {
    return address + count > longestImage;
}
