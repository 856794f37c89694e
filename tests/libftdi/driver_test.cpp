// The libftdi module answers as the vendor's driver does, seen from a
// caller that is not our device link: run under simusb, with the real
// libftdi1 and libusb on the simulated board, whose USB log SIMBOARD_LOG
// shows what reached the chip.
#include "d2xx.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

char description[] = "Zerbanit";

std::vector<std::string> logSince(std::size_t first) {
    std::ifstream log(std::getenv("SIMBOARD_LOG"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    return {lines.begin() + static_cast<long>(std::min(first, lines.size())), lines.end()};
}

}  // namespace

TEST(BoardPresent, OpensByTheExactDescriptionOnceAndRefusesWhatTheVendorsDriverRefuses) {
    FT_HANDLE board = nullptr;
    char prefix[] = "Zerbani";
    EXPECT_EQ(FT_OpenEx(prefix, d2xx::openByDescription, &board), d2xx::deviceNotFound);
    EXPECT_EQ(FT_OpenEx(description, 1, &board), d2xx::invalidParameter);
    ASSERT_EQ(FT_OpenEx(description, d2xx::openByDescription, &board), d2xx::ok);
    FT_HANDLE second = nullptr;
    EXPECT_EQ(FT_OpenEx(description, d2xx::openByDescription, &second), d2xx::deviceNotOpened);

    int other = 0;
    for (FT_STATUS status : {FT_SetBaudRate(&other, 1200), FT_SetBitMode(&other, 0xFF, d2xx::modeAsyncBitBang),
                             FT_StopInTask(&other), FT_RestartInTask(&other), FT_Purge(&other, 3)})
        EXPECT_EQ(status, d2xx::invalidHandle);
    EXPECT_EQ(FT_SetBaudRate(board, 0), d2xx::invalidBaudRate);
    EXPECT_EQ(FT_SetBaudRate(board, 1200), d2xx::ok);
    EXPECT_EQ(FT_SetBitMode(board, 0xFF, d2xx::modeAsyncBitBang), d2xx::ok);
    // Set after the bit mode, the rate is still the vendor driver's divisor.
    std::size_t beforeRate = logSince(0).size();
    EXPECT_EQ(FT_SetBaudRate(board, 1200), d2xx::ok);
    EXPECT_EQ(logSince(beforeRate), std::vector<std::string>{"control 40 03 09c4 0000 0 -> 0 baud 1200"});
    EXPECT_EQ(FT_StopInTask(board), d2xx::ok);
    EXPECT_EQ(FT_RestartInTask(board), d2xx::ok);

    // 1 is what the host receives, 2 what it sends; libftdi names the
    // chip's requests the other way round.
    std::size_t seen = logSince(0).size();
    EXPECT_EQ(FT_Purge(board, d2xx::purgeRx), d2xx::ok);
    EXPECT_EQ(FT_Purge(board, d2xx::purgeTx), d2xx::ok);
    EXPECT_EQ(FT_Purge(board, d2xx::purgeRx | d2xx::purgeTx), d2xx::ok);
    EXPECT_EQ(logSince(seen), (std::vector<std::string>{"control 40 00 0002 0001 0 -> 0 purge in",
                                                          "control 40 00 0001 0001 0 -> 0 purge out",
                                                          "control 40 00 0001 0001 0 -> 0 purge out",
                                                          "control 40 00 0002 0001 0 -> 0 purge in"}));

    std::array<std::uint8_t, 4096> block{};
    EXPECT_EQ(FT_Write(board, block.data(), block.size(), nullptr), d2xx::invalidParameter);
    EXPECT_EQ(FT_Read(board, block.data(), block.size(), nullptr), d2xx::invalidParameter);
    DWORD moved = 0;
    EXPECT_EQ(FT_Write(board, block.data(), block.size(), &moved), d2xx::ok);
    EXPECT_EQ(moved, block.size());
    EXPECT_EQ(FT_Close(board), d2xx::ok);

    // A closed handle is refused, not followed into freed memory.
    EXPECT_EQ(FT_Write(board, block.data(), block.size(), &moved), d2xx::invalidHandle);
    EXPECT_EQ(FT_Read(board, block.data(), block.size(), &moved), d2xx::invalidHandle);
    EXPECT_EQ(FT_Close(board), d2xx::invalidHandle);
}

TEST(BoardAbsent, IsNotFound) {
    FT_HANDLE board = nullptr;
    EXPECT_EQ(FT_OpenEx(description, d2xx::openByDescription, &board), d2xx::deviceNotFound);
}

// Another user's adapter, and no board: the search passed over a device,
// so the board may be the one that could not be opened.
TEST(OnlyALockedDevice, IsNotOpened) {
    FT_HANDLE board = nullptr;
    EXPECT_EQ(FT_OpenEx(description, d2xx::openByDescription, &board), d2xx::deviceNotOpened);
}

// The board stops sampling for a while in the middle of a block: the chip
// answers with its status bytes alone meanwhile, and the read waits it out.
TEST(SamplingPauses, ReadGathersTheBlockAcrossTheEmptyAnswers) {
    std::array<std::uint8_t, 2048> cells;
    for (std::size_t a = 0; a < cells.size(); ++a) cells[a] = static_cast<std::uint8_t>(a * 37 + 11);
    std::ofstream(std::getenv("SIMBOARD_CHIP"), std::ios::binary)
        .write(reinterpret_cast<const char*>(cells.data()), static_cast<std::streamsize>(cells.size()));

    FT_HANDLE board = nullptr;
    ASSERT_EQ(FT_OpenEx(description, d2xx::openByDescription, &board), d2xx::ok);
    EXPECT_EQ(FT_SetBaudRate(board, 9600), d2xx::ok);
    EXPECT_EQ(FT_SetBitMode(board, 0x00, d2xx::modeAsyncBitBang), d2xx::ok);
    EXPECT_EQ(FT_Purge(board, d2xx::purgeRx | d2xx::purgeTx), d2xx::ok);
    std::size_t seen = logSince(0).size();
    std::array<std::uint8_t, 4096> samples{};
    DWORD moved = 0;
    EXPECT_EQ(FT_Read(board, samples.data(), samples.size(), &moved), d2xx::ok);
    EXPECT_EQ(moved, samples.size());
    // Each address is sampled twice: while the lines settle, and held.
    for (std::size_t a = 0; a < cells.size(); ++a) {
        ASSERT_EQ(samples[2 * a], static_cast<std::uint8_t>(~cells[a])) << "address " << a;
        ASSERT_EQ(samples[2 * a + 1], cells[a]) << "address " << a;
    }
    std::vector<std::string> read = logSince(seen);
    auto empty = std::find(read.begin(), read.end(), "bulk in 4096 -> 2");
    ASSERT_NE(empty, read.end());
    EXPECT_NE(empty, read.begin()) << "nothing came before the pause";
    EXPECT_NE(std::find_if(empty, read.end(), [](const std::string& l) { return l != "bulk in 4096 -> 2"; }),
              read.end())
        << "nothing came after the pause";
    EXPECT_EQ(FT_Close(board), d2xx::ok);
}
