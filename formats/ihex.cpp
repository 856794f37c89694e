#include "ihex.h"

#include <algorithm>

namespace {

enum : std::uint8_t { dataType, endType, segmentType, segmentStartType, upperType, linearStartType };

constexpr std::uint32_t bytesPerRecord = 32;

struct Record {
    std::uint8_t type;
    std::uint16_t offset;  // the lower 16 bits of the first byte's address
    const std::uint8_t* data;
    std::uint8_t count;
};

bool parseRecord(const TextLine& line, RecordBytes& bytes, Record& record, TextRefusal& refusal) {
    if (line.text[0] != ':') return refuse(refusal, line.number, "a record starts with ':'");
    std::size_t decoded = 0;
    if (!decodeRecord(line.text + 1, line.length - 1, bytes, decoded, refusal, line.number)) return false;
    // Count, address, type and checksum.
    if (decoded < 5) return refuse(refusal, line.number, "the record is too short");
    std::size_t held = decoded - 5;
    if (bytes[0] != held)
        return refuse(refusal, line.number, "the record says %u bytes but holds %lu", unsigned{bytes[0]},
                      static_cast<unsigned long>(held));
    std::uint8_t checksum = static_cast<std::uint8_t>(-byteSum(bytes.data(), held + 4));
    if (bytes[held + 4] != checksum)
        return refuse(refusal, line.number, "the checksum is %02X, the record's sum makes it %02X",
                      unsigned{bytes[held + 4]}, unsigned{checksum});
    std::uint8_t type = bytes[3];
    if (type > linearStartType) return refuse(refusal, line.number, "no record type %02X", unsigned{type});
    constexpr std::uint8_t fixedLength[] = {0, 0, 2, 4, 2, 4};
    if (type != dataType && held != fixedLength[type])
        return refuse(refusal, line.number, "a type %02X record holds %u bytes, not %lu", unsigned{type},
                      unsigned{fixedLength[type]}, static_cast<unsigned long>(held));
    record = {type, static_cast<std::uint16_t>(bytes[1] << 8 | bytes[2]), bytes.data() + 4, bytes[0]};
    return true;
}

bool putIhex(std::FILE* out, std::uint8_t type, std::uint16_t offset, const std::uint8_t* data, std::uint32_t count) {
    std::array<std::uint8_t, 4 + bytesPerRecord> bytes{static_cast<std::uint8_t>(count),
                                                       static_cast<std::uint8_t>(offset >> 8),
                                                       static_cast<std::uint8_t>(offset), type};
    std::copy_n(data, count, bytes.begin() + 4);
    return putRecord(out, ":", bytes.data(), 4 + count,
                     static_cast<std::uint8_t>(-byteSum(bytes.data(), 4 + count)));
}

}  // namespace

bool isIhexRecord(const char* line, std::size_t length) {
    RecordBytes bytes;
    Record record;
    TextRefusal refusal;
    return length > 0 && parseRecord({line, length, 1}, bytes, record, refusal);
}

bool readIhex(const char* text, std::size_t length, TextImage& image, TextRefusal& refusal) {
    ImageDraft draft;
    RecordBytes bytes;
    std::uint64_t base = 0;
    return readRecords(text, length, draft, image, refusal, [&](const TextLine& line, TextEnd& end) {
        Record record{};
        if (!parseRecord(line, bytes, record, refusal)) return false;
        switch (record.type) {
        case dataType: return addRecord(draft, base + record.offset, record.data, record.count, line.number, refusal);
        case endType: end = TextEnd::ended; break;
        case segmentType: base = std::uint64_t{bigEndian(record.data, 2)} << 4; break;
        case upperType: base = std::uint64_t{bigEndian(record.data, 2)} << 16; break;
        default: break;
        }
        return true;
    });
}

void startIhex(IhexWriter& writer, std::FILE* out) { writer = {out, 0}; }

bool writeIhex(IhexWriter& writer, std::uint32_t address, const std::uint8_t* bytes, std::uint32_t count) {
    while (count > 0) {
        std::uint32_t upper = address >> 16;
        if (upper != writer.upper) {
            const std::uint8_t bits[] = {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)};
            if (!putIhex(writer.out, upperType, 0, bits, 2)) return false;
            writer.upper = upper;
        }
        std::uint32_t taken = std::min(count, bytesPerRecord - address % bytesPerRecord);
        if (!putIhex(writer.out, dataType, static_cast<std::uint16_t>(address), bytes, taken)) return false;
        address += taken;
        bytes += taken;
        count -= taken;
    }
    return true;
}

bool endIhex(IhexWriter& writer) { return putIhex(writer.out, endType, 0, nullptr, 0); }
