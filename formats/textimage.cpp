#include "textimage.h"

#include "image.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>

namespace {

constexpr std::uint64_t addressesBelowTop = std::uint64_t{1} << 32;

// A record holds at most 255 data bytes, so only records starting this far
// below an address can give it.
constexpr std::uint32_t longestRecord = 255;

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::uint64_t runEnd(const ImageRun& run) { return std::uint64_t{run.address} + run.length; }

std::uint8_t recordByte(const ImageDraft& draft, const DraftRecord& record, std::uint32_t address) {
    return draft.bytes[record.offset + (address - record.address)];
}

// The line to blame for an address given different bytes: the first line,
// in the text's order, whose byte differs from that of the first line that
// gave it. `sorted` is in address order, so the records that can give the
// address lie together around `at`, the one found to clash.
std::size_t clashLine(const ImageDraft& draft, const std::vector<DraftRecord>& sorted, std::size_t at,
                      std::uint32_t address) {
    std::size_t from = at;
    while (from > 0 && std::uint64_t{sorted[from - 1].address} + longestRecord >= address) --from;
    std::size_t upTo = at;
    while (upTo + 1 < sorted.size() && sorted[upTo + 1].address <= address) ++upTo;
    const DraftRecord* first = nullptr;
    for (std::size_t k = from; k <= upTo; ++k)
        if (address - sorted[k].address < sorted[k].length && (!first || sorted[k].line < first->line))
            first = &sorted[k];
    std::size_t line = sorted[at].line;
    for (std::size_t k = from; k <= upTo; ++k)
        if (address - sorted[k].address < sorted[k].length &&
            recordByte(draft, sorted[k], address) != recordByte(draft, *first, address))
            line = std::min(line, sorted[k].line);
    return line;
}

}  // namespace

std::uint32_t lowestAddress(const TextImage& image) { return image.runs.front().address; }

std::uint32_t highestAddress(const TextImage& image) {
    return static_cast<std::uint32_t>(runEnd(image.runs.back()) - 1);
}

std::uint32_t fillStretch(const TextImage& image, std::uint32_t address, std::uint32_t count, std::uint8_t* bytes,
                          bool* given) {
    std::fill(bytes, bytes + count, erasedByte);
    if (given) std::fill(given, given + count, false);
    std::uint64_t end = std::uint64_t{address} + count;
    // The first run that ends past `address`.
    auto run = std::upper_bound(image.runs.begin(), image.runs.end(), address,
                                [](std::uint32_t a, const ImageRun& r) { return a < runEnd(r); });
    std::uint32_t taken = 0;
    for (; run != image.runs.end() && run->address < end; ++run) {
        std::uint64_t from = std::max<std::uint64_t>(run->address, address);
        std::uint64_t to = std::min(runEnd(*run), end);
        std::copy_n(image.bytes.begin() + static_cast<std::ptrdiff_t>(run->offset + (from - run->address)), to - from,
                    bytes + (from - address));
        if (given) std::fill(given + (from - address), given + (to - address), true);
        taken += static_cast<std::uint32_t>(to - from);
    }
    return taken;
}

bool shiftImage(TextImage& image, std::uint32_t lowest) {
    if (image.runs.empty()) return true;
    std::uint32_t span = highestAddress(image) - lowestAddress(image);
    if (std::uint64_t{lowest} + span >= addressesBelowTop) return false;
    std::uint32_t move = lowest - lowestAddress(image);
    for (ImageRun& run : image.runs) run.address += move;
    return true;
}

bool nextLine(const char* text, std::size_t length, std::size_t& position, TextLine& line) {
    if (position >= length) return false;
    const char* start = text + position;
    const char* newline = static_cast<const char*>(std::memchr(start, '\n', length - position));
    const char* end = newline ? newline : text + length;
    position = static_cast<std::size_t>(end - text) + (newline ? 1 : 0);
    if (end > start && end[-1] == '\r') --end;
    line = {start, static_cast<std::size_t>(end - start), line.number + 1};
    return true;
}

bool decodeRecord(const char* digits, std::size_t count, RecordBytes& bytes, std::size_t& decoded,
                  TextRefusal& refusal, std::size_t line) {
    for (std::size_t j = 0; j < count; ++j) {
        unsigned char c = static_cast<unsigned char>(digits[j]);
        if (digitValue(digits[j]) >= 0) continue;
        if (c >= ' ' && c < 0x7F) return refuse(refusal, line, "'%c' is not a hexadecimal digit", c);
        return refuse(refusal, line, "byte %02X is not a hexadecimal digit", static_cast<unsigned>(c));
    }
    if (count % 2 != 0) return refuse(refusal, line, "the record ends in half a byte");
    decoded = count / 2;
    for (std::size_t j = 0; j < decoded && j < bytes.size(); ++j)
        bytes[j] = static_cast<std::uint8_t>(digitValue(digits[2 * j]) * 16 + digitValue(digits[2 * j + 1]));
    return true;
}

bool refuse(TextRefusal& refusal, std::size_t line, const char* format, ...) {
    refusal.line = line;
    va_list numbers;
    va_start(numbers, format);
    std::vsnprintf(refusal.reason, sizeof refusal.reason, format, numbers);
    va_end(numbers);
    return false;
}

std::uint32_t bigEndian(const std::uint8_t* bytes, std::size_t count) {
    std::uint32_t value = 0;
    for (std::size_t j = 0; j < count; ++j) value = value << 8 | bytes[j];
    return value;
}

std::uint8_t byteSum(const std::uint8_t* bytes, std::size_t count) {
    unsigned sum = 0;
    for (std::size_t j = 0; j < count; ++j) sum += bytes[j];
    return static_cast<std::uint8_t>(sum);
}

bool addRecord(ImageDraft& draft, std::uint64_t address, const std::uint8_t* data, std::uint32_t count,
               std::size_t line, TextRefusal& refusal) {
    if (count == 0) return true;
    if (address + count > addressesBelowTop) return refuse(refusal, line, "data past FFFFFFFF");
    draft.records.push_back({{static_cast<std::uint32_t>(address), count, draft.bytes.size()}, line});
    draft.bytes.insert(draft.bytes.end(), data, data + count);
    return true;
}

bool finishImage(ImageDraft& draft, TextImage& image, TextRefusal& refusal) {
    std::vector<DraftRecord> sorted = std::move(draft.records);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const DraftRecord& a, const DraftRecord& b) { return a.address < b.address; });
    image.runs.clear();
    image.bytes.clear();
    image.bytes.reserve(draft.bytes.size());
    for (std::size_t k = 0; k < sorted.size(); ++k) {
        const DraftRecord& record = sorted[k];
        std::uint32_t skip = 0;  // the record's bytes the last run already gives
        if (!image.runs.empty() && record.address < runEnd(image.runs.back())) {
            const ImageRun& run = image.runs.back();
            skip = static_cast<std::uint32_t>(std::min<std::uint64_t>(runEnd(run) - record.address, record.length));
            for (std::uint32_t j = 0; j < skip; ++j) {
                std::uint32_t address = record.address + j;
                if (image.bytes[run.offset + (address - run.address)] == recordByte(draft, record, address)) continue;
                return refuse(refusal, clashLine(draft, sorted, k, address),
                              "address %lX given twice with different bytes", static_cast<unsigned long>(address));
            }
        }
        if (skip == record.length) continue;
        std::uint32_t from = record.address + skip;
        std::uint32_t length = record.length - skip;
        bool joins = !image.runs.empty() && runEnd(image.runs.back()) == from &&
                     image.runs.back().length <= UINT32_MAX - length;
        if (joins)
            image.runs.back().length += length;
        else
            image.runs.push_back({from, length, image.bytes.size()});
        auto data = draft.bytes.begin() + static_cast<std::ptrdiff_t>(record.offset + skip);
        image.bytes.insert(image.bytes.end(), data, data + length);
    }
    draft.bytes.clear();
    return true;
}

bool putRecord(std::FILE* out, const char* start, const std::uint8_t* bytes, std::size_t count,
               std::uint8_t checksum) {
    constexpr char digits[] = "0123456789ABCDEF";
    std::array<char, 4 + 2 * 64> line;
    std::size_t length = std::strlen(start);
    std::memcpy(line.data(), start, length);
    for (std::size_t j = 0; j <= count; ++j) {
        std::uint8_t byte = j < count ? bytes[j] : checksum;
        line[length++] = digits[byte >> 4];
        line[length++] = digits[byte & 0xF];
    }
    line[length++] = '\n';
    return std::fwrite(line.data(), 1, length, out) == length;
}
