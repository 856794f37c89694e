// chipdump: copies the contents of the EPROM fitted in the board into a raw
// file, one byte per ROM address.
//
// With its pins as inputs the board is sampled continuously at 16 x baud.
// Each address is on the pins for two samples: the first is taken while the
// lines still settle after the counter stepped, the second holds the byte.
#include "console.h"
#include "devicelink.h"
#include "files.h"
#include "size.h"
#include "system.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr char readyPrompt[] = "adjust SW setting, set ROM, push ADDRESS RESET, and hit return key!";

using LinkBlock = std::array<std::uint8_t, linkBlockSize>;

struct DumpResult {
    bool receiveFailed;
    bool writeFailed;
    int writeError;  // errno of the failed write
};

// Writes the settled sample of the first `count` addresses of the block.
// A failed write ends the dump; its reason is kept for the message.
bool writeStretch(const LinkBlock& block, std::uint32_t count, std::FILE* output, DumpResult& result) {
    std::array<std::uint8_t, addressesPerBlock> bytes;
    for (std::uint32_t j = 0; j < count; ++j) bytes[j] = block[2 * j + 1];
    if (std::fwrite(bytes.data(), 1, count, output) == count) return true;
    result.writeFailed = true;
    result.writeError = errno;
    return false;
}

// A block is received at the first address of its stretch and written out
// at the last, so the progress line follows the board's counter. A block
// that did not fully come in is not written: the board's counter and the
// samples are out of step from there on.
DumpResult sampleChip(FT_HANDLE device, std::FILE* output, std::uint32_t size) {
    LinkBlock block;
    DumpResult result{false, false, 0};
    std::uint32_t address = 0;
    std::uint32_t blockCounter = 0;
    do {
        if (blockCounter == 0) {
            showProgress(address);
            if (inUSB(device, block.data(), linkBlockSize) != 0) {
                result.receiveFailed = true;
                return result;
            }
        }
        if (++blockCounter == addressesPerBlock) {
            if (!writeStretch(block, addressesPerBlock, output, result)) return result;
            blockCounter = 0;
        }
        ++address;
    } while (address < size);
    // A last stretch shorter than a block was received all the same.
    std::uint32_t tail = size % addressesPerBlock;
    if (tail != 0) writeStretch(block, tail, output, result);
    return result;
}

}  // namespace

int PROGRAM_MAIN(int argc, ArgChar** argv) {
    guardStandardStreams();
    if (argc < 3) return EXIT_FAILURE;
    const ArgChar* outputPath = argv[1];
    const ArgChar* sizeText = argv[2];

    // Checked before the file is opened, so a typo never touches a dump
    // that is already there.
    std::uint32_t size = 0;
    if (!parseSize(sizeText, size)) {
        reportArgumentFailure("Can't take \"", sizeText,
                              "\" as the size: give a hexadecimal number below 100000000.\n");
        printErrorLine();
        return EXIT_FAILURE;
    }
    std::FILE* output = openOutput(outputPath);
    if (!output) {
        printErrorLine();
        return EXIT_FAILURE;
    }
    FT_HANDLE device = nullptr;
    if (initUSB(&device, readerLink) != 0) {
        std::fclose(output);
        printErrorLine();
        return EXIT_FAILURE;
    }

    prompt(readyPrompt);
    // What the pins picked up while the operator fitted the chip and pushed
    // ADDRESS RESET is stale; sampling starts afresh at address 0.
    if (FT_Purge(device, d2xx::purgeRx | d2xx::purgeTx) != d2xx::ok || FT_RestartInTask(device) != d2xx::ok) {
        FT_Close(device);
        std::fclose(output);
        printErrorLine();
        return EXIT_FAILURE;
    }
    DumpResult dump{false, false, 0};
    if (!emptyFile(output)) {
        dump.writeFailed = true;
        dump.writeError = errno;
    } else {
        dump = sampleChip(device, output, size);
    }

    FT_Close(device);
    // What is still buffered goes out now: a full disk often shows only
    // here. Some C runtimes lose a failed flush inside fclose, so it is
    // asked for on its own first.
    bool flushed = std::fflush(output) == 0 && !std::ferror(output);
    int flushError = errno;
    bool closed = std::fclose(output) == 0;
    if ((!flushed || !closed) && !dump.writeFailed) {
        dump.writeFailed = true;
        dump.writeError = flushed ? errno : flushError;
    }
    if (dump.writeFailed) reportFileFailure("write", outputPath, dump.writeError);
    if (dump.writeFailed || dump.receiveFailed) {
        printErrorLine();
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}
