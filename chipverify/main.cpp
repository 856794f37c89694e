// chipverify: compares the EPROM fitted in the board with an image (raw
// bytes, Intel HEX or S-record), or checks that it is blank, and says
// which. The exit status is cmp's: 0 the same, 1 different, 2 trouble.
//
// The chip is read as chipdump reads it, from address 0 (the board's
// counter moves only by reading) up to the image's highest address, and
// only the addresses the image gives are compared. A raw image streams in
// beside the chip, each stretch read just before the block that is
// compared with it: an image on a pipe works, and nothing of it is kept
// past its stretch.
#include "console.h"
#include "devicelink.h"
#include "imagefile.h"
#include "options.h"
#include "sampling.h"
#include "size.h"
#include "system.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace {

constexpr char usage[] = "[--format raw|ihex|srec] [--at ADDRESS] IMAGE | --blank SIZE";
constexpr char blankOption[] = "--blank";

constexpr int sameStatus = 0;
constexpr int differentStatus = 1;
constexpr int troubleStatus = 2;

// The verdict starts on a line of its own: the progress line ends in "\r".
constexpr char holdsBefore[] = "\nThe chip holds ";
constexpr char holdsAfter[] = ": %u bytes.\n";
constexpr char differsBefore[] = "\nThe chip differs from ";
constexpr char differsAfter[] = " at %u of %u addresses, first at 0x%x: chip 0x%02x, image 0x%02x.\n";
// An image with gaps, or placed with --at, is told by the addresses it
// gives: the chip's other addresses were never compared.
constexpr char holdsGivenAfter[] = " at the %u addresses it gives, from 0x%x to 0x%x.\n";
constexpr char differsGivenAfter[] =
    " at %u of the %u addresses it gives, from 0x%x to 0x%x, first at 0x%x: chip 0x%02x, image 0x%02x.\n";
constexpr char canTake[] = "It can take the image without erasing.\n";
constexpr char mustErase[] = "It must be erased before it can take the image.\n";
constexpr char blank[] = "\nThe chip is blank: %u bytes.\n";
constexpr char notBlank[] = "\nThe chip is not blank: %u of %u addresses programmed, first at 0x%x (0x%02x).\n";

// How a verification ends. The image's troubles are told at the end; the
// other ends said why on the way, or, for a refused restart of the board's
// input, have nothing more to say than the error line.
enum class VerifyEnd {
    goOn,
    done,
    infoUnwritten,
    optionRefused,
    sizeRefused,
    imageRefused,
    boardRefused,
    startRefused,
    receiveFailed,
    imageReadFailed,
    imageEmpty,
    imageTooLong,
    verdictUnwritten
};

struct Differences {
    std::uint32_t addresses;  // compared so far
    std::uint32_t lowest;     // the first and last compared
    std::uint32_t highest;
    std::uint32_t count;  // of those, the ones that differ
    std::uint32_t first;
    std::uint8_t firstChip;
    std::uint8_t firstWanted;
    // A differing address lacks a 1 bit that is wanted: only erasing (UV
    // light, the whole chip) gives it back.
    bool needsErase;
};

// The image's side of a block: its bytes, and which addresses it gives.
struct Wanted {
    Stretch bytes;
    std::array<bool, addressesPerBlock> given;
};

void compareStretch(Differences& found, std::uint32_t address, const Stretch& chip, const Wanted& wanted,
                    std::uint32_t count) {
    for (std::uint32_t j = 0; j < count; ++j) {
        if (!wanted.given[j]) continue;
        if (found.addresses++ == 0) found.lowest = address + j;
        found.highest = address + j;
        if (chip[j] == wanted.bytes[j]) continue;
        if (found.count++ == 0) {
            found.first = address + j;
            found.firstChip = chip[j];
            found.firstWanted = wanted.bytes[j];
        }
        if ((wanted.bytes[j] & ~chip[j]) != 0) found.needsErase = true;
    }
}

// Takes the image's next stretch. A raw image's end is looked for before
// the block is asked for, so that an image of whole blocks costs no block
// past them. An image that gives nothing (a pipe whose command failed) has
// no verdict.
VerifyEnd readStretch(ImageFile& image, std::uint32_t address, Wanted& wanted, StretchPlan& next, int& readError) {
    std::uint32_t given = fillImageStretch(image, address, addressesPerBlock, wanted.bytes.data(), wanted.given.data());
    if (image.format != ImageFormat::raw) {
        std::uint32_t left = highestAddress(image.text) - address;
        next = {left < addressesPerBlock ? left + 1 : addressesPerBlock, left < addressesPerBlock};
        return VerifyEnd::goOn;
    }
    if (std::ferror(image.file)) {
        readError = errno;
        return VerifyEnd::imageReadFailed;
    }
    // The stretches before a raw image's first byte only move the counter.
    std::uint32_t from = image.at > address ? image.at - address : 0;
    if (from >= addressesPerBlock) {
        next = {addressesPerBlock, false};
        return VerifyEnd::goOn;
    }
    if (image.taken == 0) return VerifyEnd::imageEmpty;
    if (rawImageRunsPast(image)) return VerifyEnd::imageTooLong;
    bool more = from + given == addressesPerBlock && rawImageGoesOn(image);
    if (std::ferror(image.file)) {
        readError = errno;
        return VerifyEnd::imageReadFailed;
    }
    next = {from + given, !more};
    return VerifyEnd::goOn;
}

// The chip against the image, or with no image against an erased chip of
// `size` bytes.
VerifyEnd compareChip(FT_HANDLE device, ImageFile* image, std::uint32_t size, Differences& found, int& readError) {
    Wanted wanted;
    auto plan = [&](std::uint32_t address, StretchPlan& next) {
        showProgress(address);
        if (image) return readStretch(*image, address, wanted, next, readError);
        next = stretchOfSize(size, address);
        wanted.bytes.fill(erasedByte);
        wanted.given.fill(true);
        return VerifyEnd::goOn;
    };
    auto compare = [&](std::uint32_t address, const Stretch& chip, std::uint32_t count) {
        compareStretch(found, address, chip, wanted, count);
        return VerifyEnd::goOn;
    };
    return sampleChip<VerifyEnd>(device, plan, compare);
}

int sayImageVerdict(const ArgChar* imagePath, const ImageFile& image, const Differences& found) {
    bool byAddresses = image.format != ImageFormat::raw || image.placed;
    std::fputs(found.count == 0 ? holdsBefore : differsBefore, stdout);
    writeArgument(stdout, imagePath);
    auto compared = static_cast<unsigned>(found.addresses);
    auto lowest = static_cast<unsigned>(found.lowest);
    auto highest = static_cast<unsigned>(found.highest);
    if (found.count == 0) {
        if (byAddresses)
            std::printf(holdsGivenAfter, compared, lowest, highest);
        else
            std::printf(holdsAfter, compared);
        return sameStatus;
    }
    auto count = static_cast<unsigned>(found.count);
    auto first = static_cast<unsigned>(found.first);
    if (byAddresses)
        std::printf(differsGivenAfter, count, compared, lowest, highest, first, found.firstChip, found.firstWanted);
    else
        std::printf(differsAfter, count, compared, first, found.firstChip, found.firstWanted);
    std::fputs(found.needsErase ? mustErase : canTake, stdout);
    return differentStatus;
}

int sayBlankVerdict(const Differences& found) {
    if (found.count == 0) {
        std::printf(blank, static_cast<unsigned>(found.addresses));
        return sameStatus;
    }
    std::printf(notBlank, static_cast<unsigned>(found.count), static_cast<unsigned>(found.addresses),
                static_cast<unsigned>(found.first), found.firstChip);
    return differentStatus;
}

// The size, or the image, checked and the board set up before the operator
// fits the chip; the comparison after the prompt, and the verdict.
VerifyEnd verify(bool blankCheck, const ArgChar* argument, const ImageOptions& options, ImageFile& image,
                 int& readError, int& status) {
    // Started without standard output, the verdict would reach no one: the
    // operator is not asked to fit a chip for it.
    if (startedWithoutStdout()) {
        stdoutWritten("the verdict");
        return VerifyEnd::verdictUnwritten;
    }
    std::uint32_t size = 0;
    if (blankCheck) {
        if (!takeSize(argument, size)) return VerifyEnd::sizeRefused;
    } else if (!takeImage(argument, "verify", options, image)) {
        return VerifyEnd::imageRefused;
    }
    FT_HANDLE device = nullptr;
    if (initUSB(&device, readerLink) != 0) {
        closeImage(image);
        return VerifyEnd::boardRefused;
    }

    Differences found{0, 0, 0, 0, 0, 0, 0, false};
    prompt(readyPrompt);
    VerifyEnd end = startSampling(device) == 0 ? compareChip(device, blankCheck ? nullptr : &image, size, found, readError)
                                               : VerifyEnd::startRefused;
    FT_Close(device);
    closeImage(image);
    if (end != VerifyEnd::done) return end;
    // Only the verdict's own lines count: a progress line lost on the way
    // does not make it wrong.
    std::clearerr(stdout);
    status = blankCheck ? sayBlankVerdict(found) : sayImageVerdict(argument, image, found);
    return stdoutWritten("the verdict") ? VerifyEnd::done : VerifyEnd::verdictUnwritten;
}

// Where an end becomes the program's last lines and its status.
int endWith(VerifyEnd end, const ArgChar* imagePath, const ImageFile& image, int readError, int status) {
    if (end == VerifyEnd::done) return status;
    if (end == VerifyEnd::imageReadFailed) reportFileFailure("read", imagePath, readError);
    if (end == VerifyEnd::imageEmpty) reportFileProblem("verify", imagePath, imageEmpty);
    if (end == VerifyEnd::imageTooLong) reportFileProblem("verify", imagePath, runsPastReason(image));
    printErrorLine();
    return troubleStatus;
}

}  // namespace

int PROGRAM_MAIN(int argc, ArgChar** argv) {
    guardStandardStreams();
    if (argc < 2) return troubleStatus;
    InfoAnswer info = answerInfo(argv[1], "chipverify", usage);
    if (info == InfoAnswer::given) return sameStatus;
    ImageFile image{};
    if (info == InfoAnswer::unwritten) return endWith(VerifyEnd::infoUnwritten, argv[1], image, 0, 0);
    bool blankCheck = argumentIs(argv[1], blankOption);
    ImageOptions options{false, ImageFormat::raw, false, 0};
    int next = blankCheck ? 2 : takeOptions(argc, argv, true, options);
    if (next == 0) return endWith(VerifyEnd::optionRefused, argv[1], image, 0, 0);
    if (next >= argc) return troubleStatus;
    int readError = 0;
    int status = sameStatus;
    VerifyEnd end = verify(blankCheck, argv[next], options, image, readError, status);
    return endWith(end, argv[next], image, readError, status);
}
