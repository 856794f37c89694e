// What every text the fuzzers give must come to: a refusal with a line and
// a reason, or an image whose runs are in address order with a gap between
// each two, whose bytes are all in some run, and which fills and shifts as
// its runs say. Anything else aborts, which libFuzzer reports as a crash.
#pragma once

#include "textimage.h"

#include "detect.h"

#include <array>
#include <cstdlib>

inline void checkImage(bool read, TextImage& image, const TextRefusal& refusal) {
    if (!read) {
        if (refusal.line == 0 || refusal.reason[0] == '\0') std::abort();
        return;
    }
    std::uint64_t bytes = 0;
    for (std::size_t k = 0; k < image.runs.size(); ++k) {
        const ImageRun& run = image.runs[k];
        if (run.length == 0 || run.offset != bytes || std::uint64_t{run.address} + run.length > (std::uint64_t{1} << 32))
            std::abort();
        if (k > 0 && std::uint64_t{image.runs[k - 1].address} + image.runs[k - 1].length >= run.address) std::abort();
        bytes += run.length;
    }
    if (bytes != image.bytes.size()) std::abort();
    if (image.runs.empty()) return;
    std::array<std::uint8_t, 2048> stretch;
    std::array<bool, 2048> given;
    const ImageRun& first = image.runs.front();
    std::uint32_t count = fillStretch(image, first.address, 2048, stretch.data(), given.data());
    if (count == 0 || stretch[0] != image.bytes[0] || !given[0]) std::abort();
    std::uint32_t span = highestAddress(image) - lowestAddress(image);
    if (!shiftImage(image, 0) || highestAddress(image) != span) std::abort();
    if (fillStretch(image, 0, 2048, stretch.data(), nullptr) != count) std::abort();
}

// One fuzz input through a reader, and through the format's detection.
inline int fuzzReader(const std::uint8_t* data, std::size_t size,
                      bool (*read)(const char*, std::size_t, TextImage&, TextRefusal&)) {
    const char* text = reinterpret_cast<const char*>(data);
    TextImage image;
    TextRefusal refusal;
    checkImage(read(text, size, image, refusal), image, refusal);
    detectFormat(text, size < formatPeekLength ? size : formatPeekLength);
    return 0;
}
