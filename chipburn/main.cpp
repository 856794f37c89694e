// chipburn: copies a raw image file into the EPROM fitted in the board.
//
// The board takes no addresses: the operator resets its counter, and from
// there every two bytes on the link program one ROM address and step the
// counter. So the image goes out whole, in order, each byte twice.
#include "console.h"
#include "devicelink.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

volatile std::sig_atomic_t exitNow = 0;

extern "C" void OnBreak(int signalNumber) {
    exitNow = 1;
    // Windows resets a handler before running it; a second break must still
    // land here rather than kill the program in the middle of a block.
    std::signal(signalNumber, OnBreak);
}

namespace {

constexpr char powerOnPrompt[] =
    "adjust SW setting, set ROM, push ADDRESS RESET, turn ON the Power, and hit return key!";
constexpr char powerOffPrompt[] = "Turn OFF the power, remove ROM, and hit return key!";

// An erased EPROM cell reads 0xFF, and programming 0xFF leaves a cell as it
// is: the safe fill past the image's end.
constexpr std::uint8_t erasedByte = 0xFF;

constexpr std::array breakSignals{
    SIGINT, SIGTERM,
#if defined(SIGBREAK)
    SIGBREAK,
#endif
};

using LinkBlock = std::array<std::uint8_t, linkBlockSize>;

enum class CopyEnd { imageEnd, readError, stopped };

struct CopyResult {
    CopyEnd end;
    bool sendFailed;
    int readError;  // errno of the first failed read
};

// Only while the copy runs does a break wait for the block under way: before
// and after it, Ctrl+C ends the program at once.
void catchBreak(bool on) {
    for (int signalNumber : breakSignals) std::signal(signalNumber, on ? OnBreak : SIG_DFL);
}

// Takes the next 2048 image bytes into the block, each twice; past the end
// of the image the block is filled with erased bytes. Returns how many
// bytes came from the image.
std::uint32_t fillBlock(std::FILE* image, LinkBlock& block, std::uint32_t address, int& readError) {
    std::uint32_t taken = 0;
    for (std::uint32_t j = 0; j < addressesPerBlock; ++j) {
        showProgress(address);
        int c = std::fgetc(image);
        std::uint8_t byte = erasedByte;
        if (c != EOF) {
            byte = static_cast<std::uint8_t>(c);
            ++taken;
        } else if (std::ferror(image) && readError == 0) {
            readError = errno;
        }
        block[2 * j] = byte;
        block[2 * j + 1] = byte;
    }
    return taken;
}

// The block is filled at the first address of its stretch and sent at the
// last; the passes between only count, so the progress line and the break
// check keep the address the board is at.
CopyResult copyImage(FT_HANDLE device, std::FILE* image) {
    LinkBlock block;
    CopyResult result{CopyEnd::imageEnd, false, 0};
    std::uint32_t address = 0;
    std::uint32_t blockCounter = 0;
    std::uint32_t unsentImageBytes = 0;
    for (;;) {
        if (blockCounter == 0) unsentImageBytes = fillBlock(image, block, address, result.readError);
        if (++blockCounter == addressesPerBlock) {
            // Not sent again on failure: the board's counter has moved on by
            // however many bytes got through.
            if (outUSB(device, block.data(), linkBlockSize) != 0) result.sendFailed = true;
            blockCounter = 0;
            unsentImageBytes = 0;
        }
        if (exitNow) {
            result.end = CopyEnd::stopped;
            return result;
        }
        ++address;
        if (std::ferror(image)) {
            result.end = CopyEnd::readError;
            return result;
        }
        if (std::feof(image) && unsentImageBytes == 0) return result;
    }
}

}  // namespace

int main(int argc, char** argv) {
    guardStandardStreams();
    if (argc < 2) return EXIT_FAILURE;
    const char* imagePath = argv[1];

    std::FILE* image = std::fopen(imagePath, "rb");
    if (!image) {
        reportFileFailure("open", imagePath, errno);
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
    catchBreak(true);
    CopyResult copy = copyImage(device, image);
    catchBreak(false);
    if (copy.end == CopyEnd::imageEnd) prompt(powerOffPrompt);

    FT_Close(device);
    std::fclose(image);
    if (copy.end == CopyEnd::readError) reportFileFailure("read", imagePath, copy.readError);
    if (copy.end != CopyEnd::imageEnd || copy.sendFailed) {
        printErrorLine();
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}
