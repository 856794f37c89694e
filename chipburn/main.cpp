// chipburn: copies a raw image file into the EPROM fitted in the board.
//
// The board takes no addresses: the operator resets its counter, and from
// there every two bytes on the link program one ROM address and step the
// counter. So the image goes out whole, in order, each byte twice.
#include "breaks.h"
#include "console.h"
#include "devicelink.h"
#include "files.h"
#include "image.h"
#include "system.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr char usage[] = "IMAGE";
constexpr char powerOnPrompt[] =
    "adjust SW setting, set ROM, push ADDRESS RESET, turn ON the Power, and hit return key!";
constexpr char powerOffPrompt[] = "Turn OFF the power, remove ROM, and hit return key!";

// An erased EPROM cell reads 0xFF, and programming 0xFF leaves a cell as it
// is: the safe fill past the image's end.
constexpr std::uint8_t erasedByte = 0xFF;

using LinkBlock = std::array<std::uint8_t, linkBlockSize>;

enum class CopyEnd { imageEnd, readError, tooLong, sendFailed, stopped };

// Takes the next 2048 image bytes into the block, each twice; past the end
// of the image the block is filled with erased bytes. Returns how many
// bytes came from the image.
std::uint32_t fillBlock(std::FILE* image, LinkBlock& block, std::uint32_t address) {
    showProgress(address, addressesPerBlock);
    std::array<std::uint8_t, addressesPerBlock> bytes;
    std::size_t taken = std::fread(bytes.data(), 1, bytes.size(), image);
    for (std::uint32_t j = 0; j < addressesPerBlock; ++j) {
        std::uint8_t byte = j < taken ? bytes[j] : erasedByte;
        block[2 * j] = byte;
        block[2 * j + 1] = byte;
    }
    return static_cast<std::uint32_t>(taken);
}

// The block is filled at the first address of its stretch and sent at the
// last; the passes between only count, so the progress line and the break
// check keep the address the board is at.
CopyEnd copyImage(FT_HANDLE device, std::FILE* image, int& readError) {
    LinkBlock block;
    std::uint32_t address = 0;
    std::uint32_t blockCounter = 0;
    std::uint32_t unsentImageBytes = 0;
    for (;;) {
        if (blockCounter == 0) {
            unsentImageBytes = fillBlock(image, block, address);
            // A break that cut the fill short is the break, not a read error:
            // nothing of this block has gone out.
            if (exitNow) return CopyEnd::stopped;
            if (std::ferror(image)) {
                readError = errno;
                return CopyEnd::readError;
            }
            // Past FFFFFFFF the board's counter would wrap to 0 and burn the
            // rest over the start: a stream says how long it is only here.
            if (pastLongestImage(address, unsentImageBytes)) return CopyEnd::tooLong;
        }
        if (++blockCounter == addressesPerBlock) {
            // The board's counter has moved on by however many bytes got
            // through: every later block would land at the wrong addresses.
            if (outUSB(device, block.data(), linkBlockSize) != 0) return CopyEnd::sendFailed;
            blockCounter = 0;
            unsentImageBytes = 0;
        }
        if (exitNow) return CopyEnd::stopped;
        ++address;
        if (std::feof(image) && unsentImageBytes == 0) return CopyEnd::imageEnd;
    }
}

}  // namespace

int PROGRAM_MAIN(int argc, ArgChar** argv) {
    guardStandardStreams();
    if (argc >= 2 && answerInfo(argv[1], "chipburn", usage)) return EXIT_SUCCESS;
    if (argc < 2) return EXIT_FAILURE;
    const ArgChar* imagePath = argv[1];

    std::FILE* image = openImage(imagePath);
    if (!image) {
        printErrorLine();
        return EXIT_FAILURE;
    }
    if (imageLength(image) == ImageLength::tooLong) {
        std::fclose(image);
        reportFileProblem("burn", imagePath, imageTooLong);
        printErrorLine();
        return EXIT_FAILURE;
    }
    FT_HANDLE device = nullptr;
    if (initUSB(&device, writerLink) != 0) {
        std::fclose(image);
        printErrorLine();
        return EXIT_FAILURE;
    }

    prompt(powerOnPrompt);
    catchBreak();
    int readError = 0;
    CopyEnd end = copyImage(device, image, readError);
    releaseBreak();
    if (end == CopyEnd::imageEnd) prompt(powerOffPrompt);

    FT_Close(device);
    std::fclose(image);
    if (end == CopyEnd::readError) reportFileFailure("read", imagePath, readError);
    if (end == CopyEnd::tooLong) reportFileProblem("burn", imagePath, imageTooLong);
    if (end != CopyEnd::imageEnd) {
        printErrorLine();
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}
