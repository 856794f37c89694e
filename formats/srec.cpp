#include "srec.h"

#include <algorithm>

namespace {

constexpr std::uint32_t bytesPerRecord = 32;

// The address bytes of each type, S0 to S9; S4 is none.
constexpr std::uint8_t addressLengths[] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

struct Record {
    int type;  // 0 to 9
    std::uint32_t address;
    const std::uint8_t* data;
    std::uint32_t count;
};

bool parseRecord(const TextLine& line, RecordBytes& bytes, Record& record, TextRefusal& refusal) {
    if (line.text[0] != 'S') return refuse(refusal, line.number, "a record starts with 'S'");
    std::size_t decoded = 0;
    if (line.length < 2) return refuse(refusal, line.number, "the record is too short");
    if (!decodeRecord(line.text + 2, line.length - 2, bytes, decoded, refusal, line.number)) return false;
    if (decoded < 2) return refuse(refusal, line.number, "the record is too short");
    std::size_t held = decoded - 1;  // address, data and checksum
    if (bytes[0] != held)
        return refuse(refusal, line.number, "the record says %u bytes but holds %lu", unsigned{bytes[0]},
                      static_cast<unsigned long>(held));
    std::uint8_t checksum = static_cast<std::uint8_t>(~byteSum(bytes.data(), held));
    if (bytes[held] != checksum)
        return refuse(refusal, line.number, "the checksum is %02X, the record's sum makes it %02X",
                      unsigned{bytes[held]}, unsigned{checksum});
    unsigned char typeChar = static_cast<unsigned char>(line.text[1]);
    if (typeChar < '0' || typeChar > '9' || typeChar == '4') {
        if (typeChar > ' ' && typeChar < 0x7F) return refuse(refusal, line.number, "no record type S%c", typeChar);
        return refuse(refusal, line.number, "no record type S with byte %02X", unsigned{typeChar});
    }
    int type = typeChar - '0';
    std::uint32_t addressLength = addressLengths[type];
    if (held < addressLength + 1u)
        return refuse(refusal, line.number, "an S%d record's address takes %u bytes, it holds %lu", type,
                      unsigned{addressLength}, static_cast<unsigned long>(held - 1));
    std::uint32_t count = static_cast<std::uint32_t>(held - 1 - addressLength);
    if (type >= 5 && count > 0)
        return refuse(refusal, line.number, "an S%d record holds %u bytes, not %lu", type, addressLength + 1u,
                      static_cast<unsigned long>(held));
    record = {type, bigEndian(bytes.data() + 1, addressLength), bytes.data() + 1 + addressLength, count};
    return true;
}

bool putSrec(std::FILE* out, int type, std::uint32_t addressLength, std::uint32_t address, const std::uint8_t* data,
             std::uint32_t count) {
    std::array<std::uint8_t, 5 + bytesPerRecord> bytes{static_cast<std::uint8_t>(addressLength + count + 1)};
    for (std::uint32_t j = 0; j < addressLength; ++j)
        bytes[1 + j] = static_cast<std::uint8_t>(address >> 8 * (addressLength - 1 - j));
    std::copy_n(data, count, bytes.begin() + 1 + addressLength);
    const char start[] = {'S', static_cast<char>('0' + type), '\0'};
    std::size_t length = 1 + addressLength + count;
    return putRecord(out, start, bytes.data(), length, static_cast<std::uint8_t>(~byteSum(bytes.data(), length)));
}

}  // namespace

bool isSrecRecord(const char* line, std::size_t length) {
    RecordBytes bytes;
    Record record;
    TextRefusal refusal;
    return length > 0 && parseRecord({line, length, 1}, bytes, record, refusal);
}

bool readSrec(const char* text, std::size_t length, TextImage& image, TextRefusal& refusal) {
    ImageDraft draft;
    RecordBytes bytes;
    std::uint64_t dataRecords = 0;
    return readRecords(text, length, draft, image, refusal, [&](const TextLine& line, TextEnd& end) {
        Record record{};
        if (!parseRecord(line, bytes, record, refusal)) return false;
        switch (record.type) {
        case 1:
        case 2:
        case 3:
            if (end == TextEnd::mayEnd) return refuse(refusal, line.number, "data after the count record");
            ++dataRecords;
            return addRecord(draft, record.address, record.data, record.count, line.number, refusal);
        case 5:
        case 6:
            if (record.address != dataRecords)
                return refuse(refusal, line.number, "the count record says %lu data records, there are %lu",
                              static_cast<unsigned long>(record.address), static_cast<unsigned long>(dataRecords));
            end = TextEnd::mayEnd;
            break;
        case 7:
        case 8:
        case 9: end = TextEnd::ended; break;
        default: break;
        }
        return true;
    });
}

bool startSrec(SrecWriter& writer, std::FILE* out, std::uint32_t size) {
    std::uint32_t highest = size > 0 ? size - 1 : 0;
    writer = {out, highest <= 0xFFFF ? 2u : highest <= 0xFFFFFF ? 3u : 4u, 0};
    return putSrec(out, 0, 2, 0, nullptr, 0);
}

bool writeSrec(SrecWriter& writer, std::uint32_t address, const std::uint8_t* bytes, std::uint32_t count) {
    while (count > 0) {
        std::uint32_t taken = std::min(count, bytesPerRecord - address % bytesPerRecord);
        if (!putSrec(writer.out, static_cast<int>(writer.addressLength) - 1, writer.addressLength, address, bytes, taken))
            return false;
        ++writer.records;
        address += taken;
        bytes += taken;
        count -= taken;
    }
    return true;
}

bool endSrec(SrecWriter& writer) {
    if (writer.records <= 0xFFFF && !putSrec(writer.out, 5, 2, writer.records, nullptr, 0)) return false;
    if (writer.records > 0xFFFF && writer.records <= 0xFFFFFF && !putSrec(writer.out, 6, 3, writer.records, nullptr, 0))
        return false;
    return putSrec(writer.out, 11 - static_cast<int>(writer.addressLength), writer.addressLength, 0, nullptr, 0);
}
