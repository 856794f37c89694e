// The simulated board is what every other test trusts, so its model of the
// hardware is checked on its own here.
#include "d2xx.h"
#include "simboard.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

class SimBoard : public ::testing::Test {
protected:
    // ctest runs each test in its own process, side by side.
    std::string prefix = ::testing::TempDir() + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::string chipPath = prefix + "_chip.bin";
    std::string logPath = prefix + "_calls.log";
    FT_HANDLE handle = nullptr;

    void SetUp() override {
        std::remove(chipPath.c_str());
        std::remove(logPath.c_str());
        setenv("SIMBOARD_CHIP", chipPath.c_str(), 1);
        setenv("SIMBOARD_LOG", logPath.c_str(), 1);
        for (const char* knob : {"SIMBOARD_FAIL", "SIMBOARD_SHORT", "SIMBOARD_ABSENT", "SIMBOARD_REALTIME",
                                 "SIMBOARD_WIRE", "SIMBOARD_CHIP_SIZE"})
            unsetenv(knob);
        simboardReset();
    }
    void TearDown() override { simboardReset(); }

    void putChip(const Bytes& bytes) {
        std::ofstream(chipPath, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                        static_cast<std::streamsize>(bytes.size()));
    }
    Bytes chip() {
        std::ifstream in(chipPath, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    std::string log() {
        std::ifstream in(logPath);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void openFor(std::uint8_t mask) {
        ASSERT_EQ(FT_OpenEx(const_cast<char*>("Zerbanit"), d2xx::openByDescription, &handle), d2xx::ok);
        ASSERT_EQ(FT_SetBaudRate(handle, 9600), d2xx::ok);
        ASSERT_EQ(FT_SetBitMode(handle, mask, d2xx::modeAsyncBitBang), d2xx::ok);
        ASSERT_EQ(FT_StopInTask(handle), d2xx::ok);
    }
    FT_STATUS write(Bytes bytes, DWORD* moved = nullptr) {
        DWORD written = 0;
        FT_STATUS status = FT_Write(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written);
        if (moved) *moved = written;
        return status;
    }
    Bytes read(DWORD count) {
        Bytes samples(count);
        DWORD got = 0;
        EXPECT_EQ(FT_Read(handle, samples.data(), count, &got), d2xx::ok);
        samples.resize(got);
        return samples;
    }
};

// What the end-to-end cases cannot see: bytes of one address split across
// writes, unequal pairs, and writes while the pins are inputs.
TEST_F(SimBoard, TwoLinkBytesProgramOneAddressAndUnequalOnesAreAGlitch) {
    putChip({0xFF, 0xF0, 0xFF, 0x55});
    openFor(0xFF);
    ASSERT_EQ(write({0x12, 0x12, 0x0F}), d2xx::ok);
    ASSERT_EQ(write({0x0F, 0xAA, 0xAB, 0x0F, 0x0F, 0xF1, 0xF1}), d2xx::ok);
    // Bits only go from 1 to 0, and the counter wraps like a chip with fewer
    // address lines.
    EXPECT_EQ(chip(), (Bytes{0x10, 0x00, 0xAA, 0x05}));
    EXPECT_NE(log().find("glitch at 0x2: 0xaa 0xab\n"), std::string::npos) << log();
    ASSERT_EQ(FT_SetBitMode(handle, 0x00, d2xx::modeAsyncBitBang), d2xx::ok);
    ASSERT_EQ(write({0x00, 0x00}), d2xx::ok);
    EXPECT_EQ(chip(), (Bytes{0x10, 0x00, 0xAA, 0x05}));
}

TEST_F(SimBoard, SamplesTakenBeforeThePurgeComeFirstWithoutIt) {
    Bytes rom(4096);
    for (std::size_t i = 0; i < rom.size(); ++i) rom[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    putChip(rom);
    openFor(0x00);
    ASSERT_EQ(FT_RestartInTask(handle), d2xx::ok);
    Bytes samples = read(1024);
    // 128 addresses were sampled before the operator reset the counter;
    // each gives a sample of the settling lines, then the byte.
    EXPECT_EQ(samples[254], static_cast<std::uint8_t>(~rom[127]));
    EXPECT_EQ(samples[255], rom[127]);
    EXPECT_EQ(samples[257], rom[0]);
    EXPECT_EQ(samples[259], rom[1]);
    ASSERT_EQ(FT_StopInTask(handle), d2xx::ok);
    ASSERT_EQ(FT_Purge(handle, 3), d2xx::ok);
    EXPECT_TRUE(read(16).empty()) << "a stopped input task takes nothing in";
}

TEST_F(SimBoard, AnyCallFailsOnItsNthUseAndTransfersCanBeShort) {
    setenv("SIMBOARD_FAIL", "FT_Write:2=7,FT_Purge:1", 1);
    setenv("SIMBOARD_SHORT", "FT_Write:3=3", 1);
    simboardReset();
    putChip(Bytes(16, 0xFF));
    openFor(0xFF);
    DWORD moved = 99;
    EXPECT_EQ(write({0x01, 0x01}, &moved), d2xx::ok);
    EXPECT_EQ(moved, 2u);
    EXPECT_EQ(write({0x02, 0x02}, &moved), 7u);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(write({0x03, 0x03, 0x04, 0x04}, &moved), d2xx::ok);
    EXPECT_EQ(moved, 3u);
    EXPECT_EQ(FT_Purge(handle, 3), d2xx::ioError);
    EXPECT_EQ(FT_Purge(handle, 3), d2xx::ok);
    EXPECT_EQ(chip(), (Bytes{0x01, 0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                             0xFF, 0xFF}));
    EXPECT_NE(log().find("FT_Write 2 -> 7 0\nFT_Write 4 -> 0 3\nFT_Purge 3 -> 4\nFT_Purge 3 -> 0\n"),
              std::string::npos)
        << log();
}

}  // namespace
