// chipverify: compares the EPROM fitted in the board with a raw image, or
// checks that it is blank, and says which. The exit status is cmp's: 0 the
// same, 1 different, 2 trouble.
//
// The chip is read as chipdump reads it, and the image streams in beside
// it, each stretch read just before the block that is compared with it: an
// image on a pipe works, and nothing of it is kept past its stretch.
#include "console.h"
#include "devicelink.h"
#include "files.h"
#include "image.h"
#include "sampling.h"
#include "size.h"
#include "system.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace {

constexpr char usage[] = "IMAGE | --blank SIZE";
constexpr char blankOption[] = "--blank";

constexpr int sameStatus = 0;
constexpr int differentStatus = 1;
constexpr int troubleStatus = 2;

// The verdict starts on a line of its own: the progress line ends in "\r".
constexpr char holdsBefore[] = "\nThe chip holds ";
constexpr char holdsAfter[] = ": %u bytes.\n";
constexpr char differsBefore[] = "\nThe chip differs from ";
constexpr char differsAfter[] = " at %u of %u addresses, first at 0x%x: chip 0x%02x, image 0x%02x.\n";
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
    std::uint32_t count;      // of those, the ones that differ
    std::uint32_t first;
    std::uint8_t firstChip;
    std::uint8_t firstWanted;
    // A differing address lacks a 1 bit that is wanted: only erasing (UV
    // light, the whole chip) gives it back.
    bool needsErase;
};

struct ImageStream {
    std::FILE* file;
    Stretch bytes;      // the stretch the next block is compared with
    StretchPlan first;  // the first stretch's plan, when it is read early
    bool readEarly;     // whether it was, before the board was opened
    int readError;      // errno of a failed read, or 0
};

void compareStretch(Differences& found, std::uint32_t address, const Stretch& chip, const Stretch& wanted,
                    std::uint32_t count) {
    for (std::uint32_t j = 0; j < count; ++j) {
        if (chip[j] == wanted[j]) continue;
        if (found.count++ == 0) {
            found.first = address + j;
            found.firstChip = chip[j];
            found.firstWanted = wanted[j];
        }
        if ((wanted[j] & ~chip[j]) != 0) found.needsErase = true;
    }
    found.addresses += count;
}

// Takes the image's next stretch. Its end is looked for before the block
// is asked for, so that an image of whole blocks costs no block past them.
// An image that gives nothing (a pipe whose command failed) has no verdict.
VerifyEnd readStretch(ImageStream& image, std::uint32_t address, StretchPlan& next) {
    if (image.readEarly) {
        image.readEarly = false;
        next = image.first;
        return VerifyEnd::goOn;
    }
    std::size_t taken = std::fread(image.bytes.data(), 1, image.bytes.size(), image.file);
    bool more = false;
    if (taken == image.bytes.size()) {
        int c = std::getc(image.file);
        more = c != EOF;
        if (more) std::ungetc(c, image.file);
    }
    if (std::ferror(image.file)) {
        image.readError = errno;
        return VerifyEnd::imageReadFailed;
    }
    if (address == 0 && taken == 0) return VerifyEnd::imageEmpty;
    if (pastLongestImage(address, taken)) return VerifyEnd::imageTooLong;
    next = {static_cast<std::uint32_t>(taken), !more};
    return VerifyEnd::goOn;
}

// A regular file is judged before the board is opened, so that the operator
// never fits a chip for an image that is too long, empty or unreadable. A
// pipe may have nothing to give before its command has run: its first
// stretch is read as any other, once the chip is being read.
VerifyEnd readFirstStretchEarly(ImageStream& image) {
    std::uint64_t length = 0;
    switch (imageLength(image.file, length)) {
    case ImageLength::unknown:
        return VerifyEnd::goOn;
    case ImageLength::tooLong:
        return VerifyEnd::imageTooLong;
    case ImageLength::fits:
        break;
    }
    VerifyEnd end = readStretch(image, 0, image.first);
    image.readEarly = end == VerifyEnd::goOn;
    return end;
}

// The chip against the image, or with no image against an erased chip of
// `size` bytes.
VerifyEnd compareChip(FT_HANDLE device, ImageStream& image, std::uint32_t size, Differences& found) {
    Stretch erased;
    erased.fill(erasedByte);
    auto plan = [&](std::uint32_t address, StretchPlan& next) {
        showProgress(address);
        if (image.file) return readStretch(image, address, next);
        next = stretchOfSize(size, address);
        return VerifyEnd::goOn;
    };
    auto compare = [&](std::uint32_t address, const Stretch& chip, std::uint32_t count) {
        compareStretch(found, address, chip, image.file ? image.bytes : erased, count);
        return VerifyEnd::goOn;
    };
    return sampleChip<VerifyEnd>(device, plan, compare);
}

int sayImageVerdict(const ArgChar* imagePath, const Differences& found) {
    std::fputs(found.count == 0 ? holdsBefore : differsBefore, stdout);
    writeArgument(stdout, imagePath);
    if (found.count == 0) {
        std::printf(holdsAfter, static_cast<unsigned>(found.addresses));
        return sameStatus;
    }
    std::printf(differsAfter, static_cast<unsigned>(found.count), static_cast<unsigned>(found.addresses),
                static_cast<unsigned>(found.first), found.firstChip, found.firstWanted);
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
VerifyEnd verify(bool blankCheck, const ArgChar* argument, ImageStream& image, int& status) {
    // Started without standard output, the verdict would reach no one: the
    // operator is not asked to fit a chip for it.
    if (startedWithoutStdout()) {
        stdoutWritten("the verdict");
        return VerifyEnd::verdictUnwritten;
    }
    std::uint32_t size = 0;
    if (blankCheck) {
        if (!takeSize(argument, size)) return VerifyEnd::sizeRefused;
    } else {
        image.file = openImage(argument);
        if (!image.file) return VerifyEnd::imageRefused;
        if (VerifyEnd end = readFirstStretchEarly(image); end != VerifyEnd::goOn) {
            std::fclose(image.file);
            return end;
        }
    }
    FT_HANDLE device = nullptr;
    if (initUSB(&device, readerLink) != 0) {
        if (image.file) std::fclose(image.file);
        return VerifyEnd::boardRefused;
    }

    Differences found{0, 0, 0, 0, 0, false};
    prompt(readyPrompt);
    VerifyEnd end = startSampling(device) == 0 ? compareChip(device, image, size, found) : VerifyEnd::startRefused;
    FT_Close(device);
    if (image.file) std::fclose(image.file);
    if (end != VerifyEnd::done) return end;
    // Only the verdict's own lines count: a progress line lost on the way
    // does not make it wrong.
    std::clearerr(stdout);
    status = blankCheck ? sayBlankVerdict(found) : sayImageVerdict(argument, found);
    return stdoutWritten("the verdict") ? VerifyEnd::done : VerifyEnd::verdictUnwritten;
}

// Where an end becomes the program's last lines and its status.
int endWith(VerifyEnd end, const ArgChar* imagePath, int readError, int status) {
    if (end == VerifyEnd::done) return status;
    if (end == VerifyEnd::imageReadFailed) reportFileFailure("read", imagePath, readError);
    if (end == VerifyEnd::imageEmpty) reportFileProblem("verify", imagePath, imageEmpty);
    if (end == VerifyEnd::imageTooLong) reportFileProblem("verify", imagePath, imageTooLong);
    printErrorLine();
    return troubleStatus;
}

}  // namespace

int PROGRAM_MAIN(int argc, ArgChar** argv) {
    guardStandardStreams();
    if (argc < 2) return troubleStatus;
    InfoAnswer info = answerInfo(argv[1], "chipverify", usage);
    if (info == InfoAnswer::given) return sameStatus;
    if (info == InfoAnswer::unwritten) return endWith(VerifyEnd::infoUnwritten, argv[1], 0, 0);
    bool blankCheck = argumentIs(argv[1], blankOption);
    if (blankCheck && argc < 3) return troubleStatus;
    const ArgChar* argument = argv[blankCheck ? 2 : 1];
    ImageStream image{nullptr, {}, {0, true}, false, 0};
    int status = sameStatus;
    VerifyEnd end = verify(blankCheck, argument, image, status);
    return endWith(end, argument, image.readError, status);
}
