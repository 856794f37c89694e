// What the writer's and the reader's transfers have in common, each kept in
// an object file of its own.
#pragma once

#include "console.h"
#include "d2xx.h"

#include <cstdint>

// A block moved short counts as failed, whatever the driver said: the board
// counts addresses by link bytes, and it is out of step from there on.
inline int blockMoved(FT_STATUS status, DWORD moved, std::uint32_t count, const char* failure) {
    return status != d2xx::ok || moved != count ? reportFailure(failure) : 0;
}
