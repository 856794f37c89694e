#include "detect.h"
#include "ihex.h"
#include "srec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Piece {
    std::uint32_t address;
    Bytes bytes;
};

bool read(ImageFormat format, const std::string& text, TextImage& image, TextRefusal& refusal) {
    return format == ImageFormat::ihex ? readIhex(text.data(), text.size(), image, refusal)
                                       : readSrec(text.data(), text.size(), image, refusal);
}

std::string slurp(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

Bytes randomBytes(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(count);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    return bytes;
}

// srec_cat is the yardstick: it makes the texts the readers read and reads
// what the writers wrote.
class SrecCat : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system("srec_cat -version >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "srec_cat (Debian package srecord) is not installed";
        folder = ::testing::TempDir() + "formats_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                 "_" + std::to_string(getpid()) + "/";
        ASSERT_EQ(std::system(("mkdir -p " + folder).c_str()), 0);
    }
    void TearDown() override { std::system(("rm -rf " + folder).c_str()); }
    std::string folder;
};

}  // namespace

TEST_F(SrecCat, ReadersGiveEachByteAtItsAddress) {
    // Gaps, a piece across 64 KiB, one past it, one at the top for the 32-bit forms.
    std::vector<Piece> low{{0x0, randomBytes(100, 1)}, {0x200, randomBytes(37, 2)}, {0xFFF0, randomBytes(64, 3)},
                           {0x12345, randomBytes(300, 4)}};
    std::vector<Piece> high = low;
    high.push_back({0xFFFFFF00, randomBytes(0x100, 5)});
    struct {
        const char* options;
        ImageFormat format;
        bool reachesTop;
    } const forms[] = {{"-intel -output_block_size=16", ImageFormat::ihex, true},
                       {"-intel -output_block_size=32", ImageFormat::ihex, true},
                       {"-intel -address-length=3", ImageFormat::ihex, false},  // 02 segment records
                       {"-motorola -address-length=3 -output_block_size=16", ImageFormat::srec, false},
                       {"-motorola -address-length=4 -output_block_size=32", ImageFormat::srec, true}};
    for (const auto& form : forms) {
        const auto& pieces = form.reachesTop ? high : low;
        std::string command = "srec_cat";
        std::size_t total = 0;
        for (std::size_t k = 0; k < pieces.size(); ++k) {
            std::string piece = folder + std::to_string(k) + ".bin";
            std::ofstream(piece, std::ios::binary)
                .write(reinterpret_cast<const char*>(pieces[k].bytes.data()), pieces[k].bytes.size());
            command += " " + piece + " -binary -offset " + std::to_string(pieces[k].address);
            total += pieces[k].bytes.size();
        }
        ASSERT_EQ(std::system((command + " -o " + folder + "image " + form.options).c_str()), 0) << command;
        std::string text = slurp(folder + "image");
        EXPECT_EQ(detectFormat(text.data(), std::min(text.size(), formatPeekLength)), form.format) << form.options;
        TextImage image;
        TextRefusal refusal{};
        ASSERT_TRUE(read(form.format, text, image, refusal)) << form.options << ": " << refusal.line << ": "
                                                             << refusal.reason;
        EXPECT_EQ(image.bytes.size(), total) << form.options;
        for (const auto& piece : pieces) {
            Bytes got(piece.bytes.size());
            EXPECT_EQ(fillStretch(image, piece.address, static_cast<std::uint32_t>(got.size()), got.data(), nullptr),
                      got.size());
            EXPECT_EQ(got, piece.bytes) << form.options << " at " << std::hex << piece.address;
        }
    }
}

// The dump's bytes in 2048-address stretches, FF included, read back whole.
TEST_F(SrecCat, WritersOutputReadsBackByteForByte) {
    struct {
        ImageFormat format;
        std::uint32_t first, size;  // a dump of `size`, written from `first` on
        std::size_t upperRecords;   // Intel HEX's 04 records
        const char* dataStart;      // an S-record's data records'
        const char* lastLines;
    } const dumps[] = {{ImageFormat::ihex, 0, 0x800, 0, "", ":00000001FF\n"},
                       {ImageFormat::ihex, 0, 0x12345, 1, "", ":00000001FF\n"},
                       {ImageFormat::ihex, 0xFFFFF000, 0, 1, "", ":00000001FF\n"},
                       {ImageFormat::srec, 0, 0x800, 0, "S1", "S5030040BC\nS9030000FC\n"},
                       {ImageFormat::srec, 0, 0x10001, 0, "S2", "S5030801F3\nS804000000FB\n"},
                       {ImageFormat::srec, 0, 0x200020, 0, "S2", "S604010001F9\nS804000000FB\n"},  // 10001 records
                       {ImageFormat::srec, 0x1000000, 0x1001000, 0, "S3", "S50300807C\nS70500000000FA\n"}};
    for (const auto& dump : dumps) {
        Bytes bytes = randomBytes(dump.size > 0 ? dump.size - dump.first : 0x1000, dump.first);
        std::fill(bytes.end() - 0x700, bytes.end(), 0xFF);  // an erased tail is written too
        std::string path = folder + "dump";
        std::FILE* out = std::fopen(path.c_str(), "wb");
        IhexWriter ihex;
        SrecWriter srec;
        bool written = dump.format == ImageFormat::ihex ? (startIhex(ihex, out), true) : startSrec(srec, out, dump.size);
        for (std::uint32_t at = 0; at < bytes.size(); at += 0x800) {
            std::uint32_t count = std::min<std::uint32_t>(0x800, static_cast<std::uint32_t>(bytes.size()) - at);
            written = written && (dump.format == ImageFormat::ihex
                                      ? writeIhex(ihex, dump.first + at, bytes.data() + at, count)
                                      : writeSrec(srec, dump.first + at, bytes.data() + at, count));
        }
        written = written && (dump.format == ImageFormat::ihex ? endIhex(ihex) : endSrec(srec));
        ASSERT_TRUE(written && std::fclose(out) == 0);
        std::string input = dump.format == ImageFormat::ihex ? " -intel" : " -motorola";
        std::string command = "srec_cat " + path + input + " -offset -" + std::to_string(dump.first) + " -o " + folder +
                              "back -binary";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        EXPECT_EQ(slurp(folder + "back"), std::string(bytes.begin(), bytes.end())) << command;
        std::string text = slurp(path);
        std::string last = dump.lastLines;
        EXPECT_EQ(text.substr(text.size() - std::min(text.size(), last.size())), last) << command;
        std::istringstream lines(text.substr(0, text.size() - last.size()));
        std::size_t upper = 0;
        for (std::string line; std::getline(lines, line);) {
            upper += line.rfind(":02000004", 0) == 0;
            if (dump.format == ImageFormat::srec && line != "S0030000FC") {
                EXPECT_EQ(line.rfind(dump.dataStart, 0), 0u) << line;
            }
        }
        EXPECT_EQ(upper, dump.upperRecords);
    }
}

// The refusals every user meets are cases of the programs (format_cases.py),
// each through chipburn and chipverify; these are the rest.
TEST(TextReaders, RefuseWithTheLineAndTheReason) {
    struct {
        ImageFormat format;
        const char* text;
        std::size_t line;
        const char* reason;
    } const cases[] = {
        {ImageFormat::ihex, ":01000000 41BE\n", 1, "' ' is not a hexadecimal digit"},
        {ImageFormat::ihex, ":0100000041B\n", 1, "the record ends in half a byte"},
        {ImageFormat::ihex, ":03000004000102F6\n", 1, "a type 04 record holds 2 bytes, not 3"},
        {ImageFormat::ihex, "0100000041BE\n", 1, "a record starts with ':'"},
        {ImageFormat::srec, "S0060000726F6DAC\n", 1, "the checksum is AC, the record's sum makes it AB"},
        {ImageFormat::srec, "S10412344174\nS5030001FB\nS10412344174\n", 3, "data after the count record"},
        {ImageFormat::srec, "S0060000726F6DAB\r\nS10412344174\r\n", 3, "no end record"},
        {ImageFormat::srec, "S9030000FC\nS10412344174\n", 2, "text after the end record"},
        {ImageFormat::srec, "S904000001FA\n", 1, "an S9 record holds 3 bytes, not 4"},
        {ImageFormat::srec, "S307FFFFFFFF414279\nS70500000000FA\n", 1, "data past FFFFFFFF"},
    };
    for (const auto& c : cases) {
        TextImage image;
        TextRefusal refusal{};
        EXPECT_FALSE(read(c.format, c.text, image, refusal)) << c.text;
        EXPECT_EQ(refusal.line, c.line) << c.text;
        EXPECT_STREQ(refusal.reason, c.reason) << c.text;
    }
}

TEST(TextReaders, TakeLowerCaseCrlfBlankLinesSegmentsAndRepeats) {
    struct {
        ImageFormat format;
        const char* text;
        std::uint32_t address;  // where "AB" lands
    } const cases[] = {
        {ImageFormat::ihex, "\r\n:020000040001f9\r\n\r\n:02fffe0041427e\r\n:0400000500004000B7\r\n:00000001ff\r\n\r\n",
         0x1FFFE},
        {ImageFormat::ihex, ":020000021000EC\n:0200000041427B\n:0100010042BC\n:00000001FF", 0x10000},
        {ImageFormat::srec, "S307FFFFFFFE41427A\nS70500000000FA\n", 0xFFFFFFFE},
    };
    for (const auto& c : cases) {
        TextImage image;
        TextRefusal refusal{};
        ASSERT_TRUE(read(c.format, c.text, image, refusal)) << c.text << refusal.line << refusal.reason;
        ASSERT_EQ(image.runs.size(), 1u);
        EXPECT_EQ(lowestAddress(image), c.address);
        EXPECT_EQ(highestAddress(image), c.address + 1);
        EXPECT_EQ(image.bytes, (Bytes{'A', 'B'}));
    }
}

TEST(TextImage, FillsStretchesAndShifts) {
    // 41 42 at 7FE and 43 at 801: two runs across the boundary of two blocks.
    const std::string text = ":0207FE00414276\n:0108010043B3\n:00000001FF\n";
    TextImage image;
    TextRefusal refusal{};
    ASSERT_TRUE(readIhex(text.data(), text.size(), image, refusal));
    std::array<std::uint8_t, 2048> bytes;
    std::array<bool, 2048> given;
    EXPECT_EQ(fillStretch(image, 0, 2048, bytes.data(), given.data()), 2u);
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0xFF), 2046);
    EXPECT_EQ(bytes[0x7FE], 0x41);
    EXPECT_EQ(bytes[0x7FF], 0x42);
    EXPECT_EQ(std::count(given.begin(), given.end(), true), 2);
    EXPECT_TRUE(given[0x7FE] && given[0x7FF]);
    EXPECT_EQ(fillStretch(image, 2048, 2048, bytes.data(), given.data()), 1u);
    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_FALSE(given[0]);
    EXPECT_EQ(bytes[1], 0x43);
    EXPECT_TRUE(given[1]);

    EXPECT_FALSE(shiftImage(image, 0xFFFFFFFD));  // 7FE..801 is 4 addresses
    EXPECT_EQ(lowestAddress(image), 0x7FEu);
    EXPECT_TRUE(shiftImage(image, 0xFFFFFFFC));
    EXPECT_EQ(highestAddress(image), 0xFFFFFFFFu);
    EXPECT_TRUE(shiftImage(image, 0));
    EXPECT_EQ(fillStretch(image, 0, 4, bytes.data(), nullptr), 3u);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 4), (Bytes{0x41, 0x42, 0xFF, 0x43}));
}

TEST(DetectFormat, TellsFromTheFirstLine) {
    struct {
        const char* text;
        ImageFormat format;
    } const cases[] = {{":00000001FF", ImageFormat::ihex},       {":00000001ff\r\nanything", ImageFormat::ihex},
                       {"S9030000FC\n", ImageFormat::srec},      {"S0030000FC\r\n", ImageFormat::srec},
                       {":00000001FE\n", ImageFormat::raw},      {"S4030000FC\n", ImageFormat::raw},
                       {"\r\n\n:00000001FF\n", ImageFormat::ihex},    {":00000001FF \n", ImageFormat::raw},
                       {"", ImageFormat::raw},                   {"\x7f" "ELF", ImageFormat::raw}};
    for (const auto& c : cases) EXPECT_EQ(detectFormat(c.text, std::strlen(c.text)), c.format) << c.text;
}

TEST(Writers, WriteWholeRecordsAndTellAFailedWrite) {
    const std::uint8_t bytes[] = {0xDE, 0xAD, 0xBE, 0xEF};
    char text[200] = {};
    std::FILE* out = fmemopen(text, sizeof text, "w");
    IhexWriter ihex;
    startIhex(ihex, out);
    EXPECT_TRUE(writeIhex(ihex, 0, bytes, 4) && endIhex(ihex));
    SrecWriter srec;
    EXPECT_TRUE(startSrec(srec, out, 4) && writeSrec(srec, 0, bytes, 4) && endSrec(srec));
    std::fclose(out);
    EXPECT_STREQ(text, ":04000000DEADBEEFC4\n:00000001FF\nS0030000FC\nS1070000DEADBEEFC0\nS5030001FB\nS9030000FC\n");

    out = std::fopen("/dev/full", "w");
    ASSERT_NE(out, nullptr);
    std::setvbuf(out, nullptr, _IONBF, 0);
    startIhex(ihex, out);
    EXPECT_FALSE(writeIhex(ihex, 0, bytes, 4));
    EXPECT_FALSE(startSrec(srec, out, 4));
    EXPECT_TRUE(std::ferror(out));
    std::fclose(out);
}
