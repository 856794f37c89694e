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
constexpr char shrank[] = "it got shorter while it was burned";

using LinkBlock = std::array<std::uint8_t, linkBlockSize>;

// How a burn ends. The image's troubles are told at the end; the other ends
// said why on the way, or, for a break, have nothing more to say than the
// error line.
enum class BurnEnd {
    goOn,
    done,
    infoUnwritten,
    imageRefused,
    boardRefused,
    imageReadFailed,
    imageEmpty,
    imageShrank,
    imageTooLong,
    sendFailed,
    broken
};

// Takes the next 2048 image bytes into the block, each twice; past the end
// of the image the block is filled with erased bytes, which leave their
// cells as they are. Returns how many bytes came from the image.
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
// check keep the address the board is at. A regular image that ends before
// the length it had when it was opened has left the chip with part of it:
// the block under way goes out, and the burn is no success.
BurnEnd copyImage(FT_HANDLE device, std::FILE* image, std::uint64_t length, int& readError) {
    LinkBlock block;
    std::uint32_t address = 0;
    std::uint32_t blockCounter = 0;
    std::uint32_t unsentImageBytes = 0;
    std::uint64_t taken = 0;
    for (;;) {
        if (blockCounter == 0) {
            unsentImageBytes = fillBlock(image, block, address);
            taken += unsentImageBytes;
            // A break that cut the fill short is the break, not a read error:
            // nothing of this block has gone out.
            if (exitNow) return BurnEnd::broken;
            if (std::ferror(image)) {
                readError = errno;
                return BurnEnd::imageReadFailed;
            }
            // Past FFFFFFFF the board's counter would wrap to 0 and burn the
            // rest over the start: a stream says how long it is only here.
            if (pastLongestImage(address, unsentImageBytes)) return BurnEnd::imageTooLong;
        }
        if (++blockCounter == addressesPerBlock) {
            // The board's counter has moved on by however many bytes got
            // through: every later block would land at the wrong addresses.
            if (outUSB(device, block.data(), linkBlockSize) != 0) return BurnEnd::sendFailed;
            blockCounter = 0;
            unsentImageBytes = 0;
        }
        if (exitNow) return BurnEnd::broken;
        ++address;
        if (std::feof(image) && unsentImageBytes == 0) {
            if (taken < length) return BurnEnd::imageShrank;
            // A pipe that ends before its first byte has sent nothing.
            return taken == 0 ? BurnEnd::imageEmpty : BurnEnd::done;
        }
    }
}

// A regular file is judged before the board is opened, so that the operator
// never fits a chip for an image that is too long, empty or unreadable. A
// length of 0 is read to be sure: some files say so and hold more. A pipe
// has no length to give.
BurnEnd lookAtImage(std::FILE* image, std::uint64_t& length, int& readError) {
    switch (imageLength(image, length)) {
    case ImageLength::unknown:
        return BurnEnd::goOn;
    case ImageLength::tooLong:
        return BurnEnd::imageTooLong;
    case ImageLength::fits:
        break;
    }
    if (length > 0) return BurnEnd::goOn;
    int c = std::getc(image);
    if (c != EOF) {
        std::ungetc(c, image);
        return BurnEnd::goOn;
    }
    if (!std::ferror(image)) return BurnEnd::imageEmpty;
    readError = errno;
    return BurnEnd::imageReadFailed;
}

// The image opened, its length checked and the board set up before the
// operator fits the chip; the copy between the two prompts.
BurnEnd burn(const ArgChar* imagePath, int& readError) {
    std::FILE* image = openImage(imagePath);
    if (!image) return BurnEnd::imageRefused;
    std::uint64_t length = 0;
    if (BurnEnd end = lookAtImage(image, length, readError); end != BurnEnd::goOn) {
        std::fclose(image);
        return end;
    }
    FT_HANDLE device = nullptr;
    if (initUSB(&device, writerLink) != 0) {
        std::fclose(image);
        return BurnEnd::boardRefused;
    }

    prompt(powerOnPrompt);
    catchBreak();
    BurnEnd end = copyImage(device, image, length, readError);
    releaseBreak();
    if (end == BurnEnd::done) prompt(powerOffPrompt);

    FT_Close(device);
    std::fclose(image);
    return end;
}

// Where an end becomes the program's last lines and its status.
int endWith(BurnEnd end, const ArgChar* imagePath, int readError) {
    if (end == BurnEnd::done) return EXIT_SUCCESS;
    if (end == BurnEnd::imageReadFailed) reportFileFailure("read", imagePath, readError);
    if (end == BurnEnd::imageEmpty) reportFileProblem("burn", imagePath, imageEmpty);
    if (end == BurnEnd::imageShrank) reportFileProblem("burn", imagePath, shrank);
    if (end == BurnEnd::imageTooLong) reportFileProblem("burn", imagePath, imageTooLong);
    printErrorLine();
    return EXIT_FAILURE;
}

}  // namespace

int PROGRAM_MAIN(int argc, ArgChar** argv) {
    guardStandardStreams();
    if (argc < 2) return EXIT_FAILURE;
    InfoAnswer info = answerInfo(argv[1], "chipburn", usage);
    if (info == InfoAnswer::given) return EXIT_SUCCESS;
    if (info == InfoAnswer::unwritten) return endWith(BurnEnd::infoUnwritten, argv[1], 0);
    int readError = 0;
    BurnEnd end = burn(argv[1], readError);
    return endWith(end, argv[1], readError);
}
