#include "size.h"

#include <cctype>

bool parseSize(const char* text, std::uint32_t& size) {
    while (std::isspace(static_cast<unsigned char>(*text))) ++text;
    if (*text == '+') ++text;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text += 2;
    std::uint64_t value = 0;
    const char* digits = text;
    for (; std::isxdigit(static_cast<unsigned char>(*text)); ++text) {
        int c = std::tolower(static_cast<unsigned char>(*text));
        value = value * 16 + static_cast<std::uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
        if (value > 0xFFFFFFFFu) return false;
    }
    if (text == digits || *text != '\0') return false;
    size = static_cast<std::uint32_t>(value);
    return true;
}
