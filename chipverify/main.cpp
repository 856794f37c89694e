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
constexpr char empty[] = "it is empty";

// An erased EPROM cell reads 0xFF; programming only takes bits to 0.
constexpr std::uint8_t erasedByte = 0xFF;

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
    Stretch bytes;        // the stretch the next block is compared with
    StretchPlan first;    // the first stretch's plan, when it is read early
    bool readEarly;       // whether it was, before the board was opened
    int readError;        // errno of a failed read, or 0
    const char* refusal;  // why the image cannot be verified, or nullptr
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
bool readStretch(ImageStream& image, std::uint32_t address, StretchPlan& next) {
    if (image.readEarly) {
        image.readEarly = false;
        next = image.first;
        return true;
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
        return false;
    }
    if (address == 0 && taken == 0) {
        image.refusal = empty;
        return false;
    }
    if (pastLongestImage(address, taken)) {
        image.refusal = imageTooLong;
        return false;
    }
    next = {static_cast<std::uint32_t>(taken), !more};
    return true;
}

// A regular file is judged before the board is opened, so that the operator
// never fits a chip for an image that is too long, empty or unreadable. A
// pipe may have nothing to give before its command has run: its first
// stretch is read as any other, once the chip is being read.
bool readFirstStretchEarly(ImageStream& image) {
    switch (imageLength(image.file)) {
    case ImageLength::unknown:
        return true;
    case ImageLength::tooLong:
        image.refusal = imageTooLong;
        return false;
    case ImageLength::fits:
        break;
    }
    image.readEarly = readStretch(image, 0, image.first);
    return image.readEarly;
}

SampleEnd compareImage(FT_HANDLE device, ImageStream& image, Differences& found) {
    auto plan = [&image](std::uint32_t address, StretchPlan& next) { return readStretch(image, address, next); };
    auto compare = [&](std::uint32_t address, const Stretch& chip, std::uint32_t count) {
        compareStretch(found, address, chip, image.bytes, count);
        return true;
    };
    return sampleChip(device, plan, compare);
}

SampleEnd compareBlank(FT_HANDLE device, std::uint32_t size, Differences& found) {
    Stretch erased;
    erased.fill(erasedByte);
    auto compare = [&](std::uint32_t address, const Stretch& chip, std::uint32_t count) {
        compareStretch(found, address, chip, erased, count);
        return true;
    };
    return sampleChip(device, size, compare);
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

int trouble() {
    printErrorLine();
    return troubleStatus;
}

int imageTrouble(const ImageStream& image, const ArgChar* imagePath) {
    if (image.readError != 0) reportFileFailure("read", imagePath, image.readError);
    if (image.refusal) reportFileProblem("verify", imagePath, image.refusal);
    return trouble();
}

}  // namespace

int PROGRAM_MAIN(int argc, ArgChar** argv) {
    guardStandardStreams();
    if (argc >= 2 && answerInfo(argv[1], "chipverify", usage, troubleStatus)) return sameStatus;
    bool blankCheck = argc >= 2 && argumentIs(argv[1], blankOption);
    if (argc < (blankCheck ? 3 : 2)) return troubleStatus;
    const ArgChar* imagePath = blankCheck ? nullptr : argv[1];

    std::uint32_t size = 0;
    ImageStream image{nullptr, {}, {0, true}, false, 0, nullptr};
    if (blankCheck) {
        if (!takeSize(argv[2], size, false)) return trouble();
    } else {
        image.file = openImage(imagePath);
        if (!image.file) return trouble();
        if (!readFirstStretchEarly(image)) {
            std::fclose(image.file);
            return imageTrouble(image, imagePath);
        }
    }
    FT_HANDLE device = nullptr;
    if (initUSB(&device, readerLink) != 0) {
        if (image.file) std::fclose(image.file);
        return trouble();
    }

    Differences found{0, 0, 0, 0, 0, false};
    SampleEnd end = SampleEnd::stopped;
    if (startSampling(device) == 0)
        end = blankCheck ? compareBlank(device, size, found) : compareImage(device, image, found);

    FT_Close(device);
    if (image.file) std::fclose(image.file);
    if (end != SampleEnd::done) return imageTrouble(image, imagePath);
    // Only the verdict's own lines count: a progress line lost on the way
    // does not make it wrong.
    std::clearerr(stdout);
    int status = blankCheck ? sayBlankVerdict(found) : sayImageVerdict(imagePath, found);
    return stdoutWritten("the verdict") ? status : trouble();
}
