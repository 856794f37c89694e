#include "size.h"

#include "console.h"

namespace {

constexpr char badSizeBefore[] = "Can't take \"";
constexpr char badCountAfter[] = "\" as the size: give a hexadecimal number from 1 to FFFFFFFF.\n";

int digitValue(ArgChar c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isSpace(ArgChar c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

bool parseSize(const ArgChar* text, std::uint32_t& size) {
    while (isSpace(*text)) ++text;
    if (*text == '+') ++text;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text += 2;
    std::uint64_t value = 0;
    const ArgChar* digits = text;
    for (; digitValue(*text) >= 0; ++text) {
        value = value * 16 + static_cast<std::uint64_t>(digitValue(*text));
        if (value > largestSize) return false;
    }
    if (text == digits || *text != '\0') return false;
    size = static_cast<std::uint32_t>(value);
    return true;
}

bool takeSize(const ArgChar* text, std::uint32_t& size) {
    if (parseSize(text, size) && size != 0) return true;
    reportArgumentFailure(badSizeBefore, text, badCountAfter);
    return false;
}
