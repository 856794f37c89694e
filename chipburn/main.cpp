// chipburn: copies an image (raw bytes, Intel HEX or S-record) into the
// EPROM fitted in the board.
//
// The board takes no addresses: the operator resets its counter, and from
// there every two bytes on the link program one ROM address and step the
// counter. So the chip's addresses go out in order from 0, each byte
// twice, the erased byte where the image gives none; nothing goes past the
// last block that programs a cell.
#include "breaks.h"
#include "console.h"
#include "devicelink.h"
#include "imagefile.h"
#include "options.h"
#include "system.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr char usage[] = "[--format raw|ihex|srec] [--at ADDRESS] IMAGE";
constexpr char powerOnPrompt[] =
    "adjust SW setting, set ROM, push ADDRESS RESET, turn ON the Power, and hit return key!";
constexpr char powerOffPrompt[] = "Turn OFF the power, remove ROM, and hit return key!";
constexpr char shrank[] = "it got shorter while it was burned";

using LinkBlock = std::array<std::uint8_t, linkBlockSize>;
using BlockBytes = std::array<std::uint8_t, addressesPerBlock>;

// How a burn ends. The image's troubles are told at the end; the other ends
// said why on the way, or, for a break, have nothing more to say than the
// error line.
enum class BurnEnd {
    goOn,
    done,
    infoUnwritten,
    optionRefused,
    imageRefused,
    boardRefused,
    imageReadFailed,
    imageEmpty,
    imageShrank,
    imageTooLong,
    sendFailed,
    broken
};

// Each byte twice: the board programs an address with the first and steps
// its counter with the second.
void doubleInto(LinkBlock& block, const BlockBytes& bytes) {
    for (std::uint32_t j = 0; j < addressesPerBlock; ++j) {
        block[2 * j] = bytes[j];
        block[2 * j + 1] = bytes[j];
    }
}

BurnEnd sendBlock(FT_HANDLE device, LinkBlock& block) {
    // The board's counter has moved on by however many bytes got through:
    // every later block would land at the wrong addresses.
    if (outUSB(device, block.data(), linkBlockSize) != 0) return BurnEnd::sendFailed;
    return exitNow ? BurnEnd::broken : BurnEnd::goOn;
}

// Erased blocks leave their cells as they are, but the board's counter
// moves only by sending: erased blocks are held back, counted, and sent
// only before a block that programs a cell. Those after the last such
// block are never sent. Each block's address shows once the board is
// there, as the block is filled.
struct HeldBlocks {
    std::uint64_t from;  // the first one's address, where the board is
    std::uint32_t count;
};

BurnEnd sendHeld(FT_HANDLE device, HeldBlocks& held) {
    if (held.count == 0) return BurnEnd::goOn;
    LinkBlock erased;
    erased.fill(erasedByte);
    for (; held.count > 0; --held.count) {
        if (BurnEnd end = sendBlock(device, erased); end != BurnEnd::goOn) return end;
        held.from += addressesPerBlock;
        showProgress(static_cast<std::uint32_t>(held.from), addressesPerBlock);
    }
    return BurnEnd::goOn;
}

// A block is filled at its first address, and sent, or held back, before
// the next is filled; the progress line keeps the address the board is at.
// A break stops the copy after the block under way. A regular image that
// ends before the length it had when it was opened has left the chip with
// part of it: the burn is no success.
BurnEnd copyImage(FT_HANDLE device, ImageFile& image, int& readError) {
    LinkBlock block;
    BlockBytes bytes;
    HeldBlocks held{0, 0};
    for (std::uint64_t address = 0;; address += addressesPerBlock) {
        if (held.count == 0) showProgress(static_cast<std::uint32_t>(address), addressesPerBlock);
        fillImageStretch(image, static_cast<std::uint32_t>(address), addressesPerBlock, bytes.data(), nullptr);
        // A break that cut the fill short is the break, not a read error:
        // nothing of this block has gone out.
        if (exitNow) return BurnEnd::broken;
        if (image.format == ImageFormat::raw && std::ferror(image.file)) {
            readError = errno;
            return BurnEnd::imageReadFailed;
        }
        // Past FFFFFFFF the board's counter would wrap to 0 and burn the
        // rest over the start: a stream says how long it is only here.
        if (rawImageRunsPast(image)) return BurnEnd::imageTooLong;
        if (std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == erasedByte; })) {
            if (held.count++ == 0) held.from = address;
        } else {
            if (BurnEnd end = sendHeld(device, held); end != BurnEnd::goOn) return end;
            doubleInto(block, bytes);
            if (BurnEnd end = sendBlock(device, block); end != BurnEnd::goOn) return end;
        }
        if (!imageEnded(image, address + addressesPerBlock)) continue;
        if (image.format != ImageFormat::raw) return BurnEnd::done;
        if (image.lengthKnown && image.taken < image.length) return BurnEnd::imageShrank;
        // A pipe that ends before its first byte has sent nothing.
        return image.taken == 0 ? BurnEnd::imageEmpty : BurnEnd::done;
    }
}

// The image judged and the board set up before the operator fits the
// chip, so that the operator never fits one for an image that is refused;
// the copy between the two prompts.
BurnEnd burn(const ArgChar* imagePath, const ImageOptions& options, ImageFile& image, int& readError) {
    if (!takeImage(imagePath, "burn", options, image)) return BurnEnd::imageRefused;
    FT_HANDLE device = nullptr;
    if (initUSB(&device, writerLink) != 0) {
        closeImage(image);
        return BurnEnd::boardRefused;
    }

    prompt(powerOnPrompt);
    catchBreak();
    BurnEnd end = copyImage(device, image, readError);
    releaseBreak();
    if (end == BurnEnd::done) prompt(powerOffPrompt);

    FT_Close(device);
    closeImage(image);
    return end;
}

// Where an end becomes the program's last lines and its status.
int endWith(BurnEnd end, const ArgChar* imagePath, const ImageFile& image, int readError) {
    if (end == BurnEnd::done) return EXIT_SUCCESS;
    if (end == BurnEnd::imageReadFailed) reportFileFailure("read", imagePath, readError);
    if (end == BurnEnd::imageEmpty) reportFileProblem("burn", imagePath, imageEmpty);
    if (end == BurnEnd::imageShrank) reportFileProblem("burn", imagePath, shrank);
    if (end == BurnEnd::imageTooLong) reportFileProblem("burn", imagePath, runsPastReason(image));
    printErrorLine();
    return EXIT_FAILURE;
}

}  // namespace

int PROGRAM_MAIN(int argc, ArgChar** argv) {
    guardStandardStreams();
    if (argc < 2) return EXIT_FAILURE;
    InfoAnswer info = answerInfo(argv[1], "chipburn", usage);
    if (info == InfoAnswer::given) return EXIT_SUCCESS;
    ImageFile image{};
    if (info == InfoAnswer::unwritten) return endWith(BurnEnd::infoUnwritten, argv[1], image, 0);
    ImageOptions options;
    int next = takeOptions(argc, argv, true, options);
    if (next == 0) return endWith(BurnEnd::optionRefused, argv[1], image, 0);
    if (next == argc) return EXIT_FAILURE;
    int readError = 0;
    BurnEnd end = burn(argv[next], options, image, readError);
    return endWith(end, argv[next], image, readError);
}
