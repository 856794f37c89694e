// The options the programs take before their other arguments: how an
// image or a dump is written, and where on the chip an image goes. Each is
// spelled out in full and takes the next argument as its value; the first
// argument that is not one of them starts the others, as it always has
// (an image may be called --help.bin).
#pragma once

#include "detect.h"
#include "system.h"

#include <cstdint>

struct ImageOptions {
    bool formatGiven;
    ImageFormat format;
    bool atGiven;
    std::uint32_t at;  // the chip address of the image's lowest address
};

// Takes the options from argv[1] on, --at only `withAt`. Returns the index
// of the first other argument (argc when none is left, as when an option
// lacks its value), or 0 after a value was refused with its line on
// stderr: nothing else is touched then.
int takeOptions(int argc, ArgChar** argv, bool withAt, ImageOptions& options);
