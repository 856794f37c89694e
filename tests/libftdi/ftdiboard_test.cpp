// The libftdi module against the fake libftdi: what the chip is given and
// what the caller is told, for the answers the real library can give.
#include "d2xx.h"
#include "devicelink.h"
#include "fakeftdi.h"

#include <ftdi.h>
#include <gtest/gtest.h>
#include <libusb.h>

#include <array>
#include <cstdint>
#include <initializer_list>

namespace {

constexpr char board[] = "Zerbanit";
constexpr DWORD blockSize = 4096;
constexpr std::uint8_t untouched = 0xA5;

// The divisor the vendor's driver programs for a rate: 3 MHz / rate, kept
// in eighths (FTDI AN232B-05).
constexpr int vendorDivisorEighths(std::uint32_t rate) { return static_cast<int>(3000000u * 8 / rate); }

class FtdiBoard : public ::testing::Test {
protected:
    FT_HANDLE handle = nullptr;
    std::array<std::uint8_t, blockSize + 16> buffer{};

    void SetUp() override {
        fake::reset();
        buffer.fill(untouched);
    }

    void TearDown() override {
        if (handle != nullptr) {
            EXPECT_EQ(FT_Close(handle), d2xx::ok);
        }
        EXPECT_EQ(fake::ftdi.liveContexts, 0) << "a context was left behind";
    }

    void attach(int product, const char* description, int openError = 0) {
        fake::ftdi.devices[fake::ftdi.deviceCount++] = {product, description, openError};
    }

    void readScript(std::initializer_list<fake::ReadStep> steps) {
        for (const fake::ReadStep& step : steps) fake::ftdi.script[fake::ftdi.steps++] = step;
    }

    FT_STATUS open() { return FT_OpenEx(const_cast<char*>(board), d2xx::openByDescription, &handle); }

    void openBoard() {
        attach(0x6001, board);
        ASSERT_EQ(open(), d2xx::ok);
    }

    FT_STATUS close() {
        FT_STATUS status = FT_Close(handle);
        handle = nullptr;
        return status;
    }

    FT_STATUS read(DWORD count, DWORD& got) {
        got = 0xDEAD;
        return FT_Read(handle, buffer.data(), count, &got);
    }

    // The fake numbers its samples 0, 1, 2...: a piece put in the wrong
    // place, or written past the count, shows here.
    void expectSamples(DWORD count) {
        for (DWORD i = 0; i < count; ++i) ASSERT_EQ(buffer[i], static_cast<std::uint8_t>(i)) << "at " << i;
        EXPECT_EQ(buffer[count], untouched) << "written past the count";
    }
};

TEST_F(FtdiBoard, FindsTheBoardByDescriptionUnderAnyOfFtdisIds) {
    attach(0x6001, "FT232R USB UART");
    attach(0x6015, board);
    ASSERT_EQ(open(), d2xx::ok);
    EXPECT_NE(handle, nullptr);
    EXPECT_EQ(fake::ftdi.productsSearched, (std::array<int, 8>{0x6001, 0x6010, 0x6011, 0x6014, 0x6015}));
}

TEST_F(FtdiBoard, AnswersTheVendorDriversCodesWhenTheBoardIsNotThere) {
    attach(0x6001, "FT232R USB UART");
    EXPECT_EQ(open(), d2xx::deviceNotFound);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(fake::ftdi.searches, 5);

    fake::ftdi.newFails = true;
    EXPECT_EQ(open(), d2xx::insufficientResources);
    EXPECT_EQ(handle, nullptr);

    // Only opening by description exists on this board's path.
    fake::ftdi.newFails = false;
    attach(0x6001, board);
    EXPECT_EQ(FT_OpenEx(const_cast<char*>(board), 1, &handle), d2xx::invalidParameter);
    EXPECT_EQ(handle, nullptr);
}

TEST_F(FtdiBoard, LooksPastAnAdapterItMayNotOpen) {
    attach(0x6001, "someone else's adapter", -4);
    attach(0x6014, board);
    ASSERT_EQ(open(), d2xx::ok);
    ASSERT_EQ(close(), d2xx::ok);

    // With the board itself claimed by another program, that is the answer
    // rather than "not found".
    fake::reset();
    attach(0x6001, board, -5);
    EXPECT_EQ(open(), d2xx::deviceNotOpened);
    EXPECT_EQ(handle, nullptr);
}

TEST_F(FtdiBoard, RefusesASecondOpenWhileTheBoardIsOpen) {
    openBoard();
    FT_HANDLE second = nullptr;
    EXPECT_EQ(FT_OpenEx(const_cast<char*>(board), d2xx::openByDescription, &second), d2xx::deviceNotOpened);
    EXPECT_EQ(second, nullptr);
}

TEST_F(FtdiBoard, ProgramsTheVendorDriversDivisorWhicheverComesFirst) {
    for (const LinkSettings& link : {writerLink, readerLink}) {
        for (bool bitModeFirst : {false, true}) {
            SCOPED_TRACE(testing::Message() << link.baudRate << " baud, bit mode first: " << bitModeFirst);
            fake::reset();
            openBoard();
            FT_STATUS bitMode = bitModeFirst ? FT_SetBitMode(handle, link.pinMask, link.bitMode) : d2xx::ok;
            FT_STATUS baud = FT_SetBaudRate(handle, link.baudRate);
            if (!bitModeFirst) bitMode = FT_SetBitMode(handle, link.pinMask, link.bitMode);
            ASSERT_EQ(bitMode, d2xx::ok);
            ASSERT_EQ(baud, d2xx::ok);
            EXPECT_EQ(fake::ftdi.divisorEighths, vendorDivisorEighths(link.baudRate));
            EXPECT_EQ(fake::ftdi.pinMask, link.pinMask);
            EXPECT_EQ(fake::ftdi.bitMode, link.bitMode);
            // The context still knows bit-bang is on.
            EXPECT_EQ(static_cast<ftdi_context*>(handle)->bitbang_enabled, 1);
            ASSERT_EQ(close(), d2xx::ok);
        }
    }
}

TEST_F(FtdiBoard, MapsSetupFailuresToTheVendorDriversCodes) {
    openBoard();
    // Below 183 baud the chip's divisor runs out.
    EXPECT_EQ(FT_SetBaudRate(handle, 100), d2xx::invalidBaudRate);
    EXPECT_EQ(FT_SetBaudRate(handle, 0), d2xx::invalidBaudRate);
    fake::ftdi.baudError = -2;
    EXPECT_EQ(FT_SetBaudRate(handle, 1200), d2xx::ioError);
    fake::ftdi.bitModeError = -1;
    EXPECT_EQ(FT_SetBitMode(handle, 0xFF, d2xx::modeAsyncBitBang), d2xx::ioError);
    fake::ftdi.flushError = -1;
    EXPECT_EQ(FT_Purge(handle, d2xx::purgeRx | d2xx::purgeTx), d2xx::ioError);
}

TEST_F(FtdiBoard, PurgesTheDirectionsAsked) {
    openBoard();
    ASSERT_EQ(FT_Purge(handle, d2xx::purgeRx), d2xx::ok);
    EXPECT_EQ(fake::ftdi.flushedInput, 1);
    EXPECT_EQ(fake::ftdi.flushedOutput, 0);
    ASSERT_EQ(FT_Purge(handle, d2xx::purgeTx), d2xx::ok);
    EXPECT_EQ(fake::ftdi.flushedInput, 1);
    EXPECT_EQ(fake::ftdi.flushedOutput, 1);
    ASSERT_EQ(FT_Purge(handle, d2xx::purgeRx | d2xx::purgeTx), d2xx::ok);
    EXPECT_EQ(fake::ftdi.flushedInput, 2);
    EXPECT_EQ(fake::ftdi.flushedOutput, 2);
    EXPECT_EQ(FT_StopInTask(handle), d2xx::ok);
    EXPECT_EQ(FT_RestartInTask(handle), d2xx::ok);
}

TEST_F(FtdiBoard, WritesEveryByteOrFails) {
    openBoard();
    DWORD written = 0xDEAD;
    ASSERT_EQ(FT_Write(handle, buffer.data(), blockSize, &written), d2xx::ok);
    EXPECT_EQ(written, blockSize);
    EXPECT_EQ(fake::ftdi.bytesWritten, static_cast<int>(blockSize));

    fake::ftdi.writeError = -1;
    written = 0xDEAD;
    EXPECT_EQ(FT_Write(handle, buffer.data(), blockSize, &written), d2xx::ioError);
    EXPECT_EQ(written, 0u);
}

TEST_F(FtdiBoard, ReadGathersShortAnswersAcrossPausesShorterThanTheLimit) {
    openBoard();
    // Over eight seconds in all, but never more than four without a sample.
    readScript({{5, 0, 0}, {0, 4000, 0}, {3000, 0, 0}, {0, 4000, 0}, {1200, 0, 0}});
    DWORD got = 0;
    ASSERT_EQ(read(blockSize, got), d2xx::ok);
    EXPECT_EQ(got, blockSize);
    expectSamples(blockSize);
    EXPECT_GT(fake::ftdi.nowMs, 8000);
}

TEST_F(FtdiBoard, ReadGivesUpOnASilentBoardWithAShortCount) {
    openBoard();
    readScript({{100, 0, 0}});
    DWORD got = 0;
    ASSERT_EQ(read(blockSize, got), d2xx::ok);
    EXPECT_EQ(got, 100u);
    expectSamples(100);
    EXPECT_LT(fake::ftdi.readCalls, fake::runawayReads);
    // "A few seconds": long enough for any pause of a live chip, short
    // enough that the operator is told rather than left waiting.
    EXPECT_GE(fake::ftdi.nowMs, 3000);
    EXPECT_LE(fake::ftdi.nowMs, 10000);
}

TEST_F(FtdiBoard, ReadStopsAtAUsbErrorWithWhatCameBefore) {
    openBoard();
    readScript({{10, 0, 0}, {0, 100, 0}, {0, 0, LIBUSB_ERROR_NO_DEVICE}, {4096, 0, 0}});
    DWORD got = 0;
    EXPECT_EQ(read(blockSize, got), d2xx::ioError);
    EXPECT_EQ(got, 10u);
}

TEST_F(FtdiBoard, CloseFreesTheContextAndEndsTheHandle) {
    openBoard();
    FT_HANDLE closed = handle;
    ASSERT_EQ(close(), d2xx::ok);
    EXPECT_EQ(fake::ftdi.liveContexts, 0);
    DWORD count = 0;
    EXPECT_EQ(FT_SetBaudRate(closed, 1200), d2xx::invalidHandle);
    EXPECT_EQ(FT_Read(closed, buffer.data(), 1, &count), d2xx::invalidHandle);
    EXPECT_EQ(FT_StopInTask(closed), d2xx::invalidHandle);
    EXPECT_EQ(FT_Close(closed), d2xx::invalidHandle);

    // Freed even when releasing the device fails, and opened again after.
    openBoard();
    fake::ftdi.closeError = -1;
    EXPECT_EQ(close(), d2xx::ioError);
    EXPECT_EQ(fake::ftdi.liveContexts, 0);
    EXPECT_EQ(open(), d2xx::ok);
}

// The device link over this module: the programs' own settings reach the
// chip, and a board that goes quiet ends in the link's message, not a hang.
TEST_F(FtdiBoard, DeviceLinkSetsUpTheWriterAndReportsASilentReader) {
    attach(0x6001, board);
    ASSERT_EQ(initUSB(&handle, writerLink), 0);
    EXPECT_EQ(fake::ftdi.divisorEighths, vendorDivisorEighths(1200));
    EXPECT_EQ(fake::ftdi.pinMask, 0xFF);
    ASSERT_EQ(close(), d2xx::ok);

    ASSERT_EQ(initUSB(&handle, readerLink), 0);
    EXPECT_EQ(fake::ftdi.divisorEighths, vendorDivisorEighths(9600));
    readScript({{4096 + 700, 0, 0}});
    ASSERT_EQ(inUSB(handle, buffer.data(), blockSize), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(inUSB(handle, buffer.data(), blockSize), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Can't input from USB controller.\n");
}

}  // namespace
