#include "options.h"

#include "console.h"
#include "size.h"

namespace {

constexpr char formatOption[] = "--format";
constexpr char atOption[] = "--at";
constexpr char badValueBefore[] = "Can't take \"";
constexpr char badFormatAfter[] = "\" as the format: give raw, ihex or srec.\n";
constexpr char badAddressAfter[] = "\" as the address: give a hexadecimal number from 0 to FFFFFFFF.\n";

bool takeFormat(const ArgChar* text, ImageFormat& format) {
    constexpr struct {
        const char* name;
        ImageFormat format;
    } names[] = {{"raw", ImageFormat::raw}, {"ihex", ImageFormat::ihex}, {"srec", ImageFormat::srec}};
    for (const auto& name : names) {
        if (!argumentIs(text, name.name)) continue;
        format = name.format;
        return true;
    }
    reportArgumentFailure(badValueBefore, text, badFormatAfter);
    return false;
}

// An address as a size is written: the image's first byte may go to 0.
bool takeAddress(const ArgChar* text, std::uint32_t& address) {
    if (parseSize(text, address)) return true;
    reportArgumentFailure(badValueBefore, text, badAddressAfter);
    return false;
}

}  // namespace

int takeOptions(int argc, ArgChar** argv, bool withAt, ImageOptions& options) {
    options = {false, ImageFormat::raw, false, 0};
    int next = 1;
    for (; next < argc; next += 2) {
        bool format = argumentIs(argv[next], formatOption);
        bool at = withAt && argumentIs(argv[next], atOption);
        if (!format && !at) break;
        if (next + 1 == argc) return argc;
        if (format && !takeFormat(argv[next + 1], options.format)) return 0;
        if (at && !takeAddress(argv[next + 1], options.at)) return 0;
        options.formatGiven = options.formatGiven || format;
        options.atGiven = options.atGiven || at;
    }
    return next;
}
