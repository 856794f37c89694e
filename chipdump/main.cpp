// chipdump: copies the contents of the EPROM fitted in the board into a raw
// file, one byte per ROM address.
#include "breaks.h"
#include "console.h"
#include "devicelink.h"
#include "files.h"
#include "sampling.h"
#include "size.h"
#include "system.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr char usage[] = "OUTPUT SIZE";

enum class DumpEnd { whole, receiveFailed, writeFailed, stopped };

// Each stretch is written as it comes in, the last one as far as the size
// goes. A break stops the dump after the block under way; a failed write
// ends it, with its reason kept for the message.
DumpEnd dumpChip(FT_HANDLE device, std::FILE* output, std::uint32_t size, int& writeError) {
    DumpEnd end = DumpEnd::whole;
    auto write = [&](std::uint32_t, const Stretch& settled, std::uint32_t count) {
        bool written = std::fwrite(settled.data(), 1, count, output) == count;
        // A write to a stalled pipe that the break cut short is the break.
        if (exitNow) {
            end = DumpEnd::stopped;
        } else if (!written) {
            end = DumpEnd::writeFailed;
            writeError = errno;
        }
        return end == DumpEnd::whole;
    };
    if (sampleChip(device, size, write) == SampleEnd::receiveFailed) return DumpEnd::receiveFailed;
    return end;
}

}  // namespace

int PROGRAM_MAIN(int argc, ArgChar** argv) {
    guardStandardStreams();
    if (argc >= 2 && answerInfo(argv[1], "chipdump", usage)) return EXIT_SUCCESS;
    if (argc < 3) return EXIT_FAILURE;
    const ArgChar* outputPath = argv[1];
    const ArgChar* sizeText = argv[2];

    // Checked before the file is opened, so a typo never touches a dump
    // that is already there.
    std::uint32_t size = 0;
    if (!takeSize(sizeText, size)) {
        printErrorLine();
        return EXIT_FAILURE;
    }
    DumpFile output;
    if (!openDump(outputPath, output)) {
        printErrorLine();
        return EXIT_FAILURE;
    }
    FT_HANDLE device = nullptr;
    if (initUSB(&device, readerLink) != 0) {
        endDump(output, false);
        printErrorLine();
        return EXIT_FAILURE;
    }
    if (startSampling(device) != 0) {
        FT_Close(device);
        endDump(output, false);
        printErrorLine();
        return EXIT_FAILURE;
    }

    // Until the dump has taken the output's place or been removed, a break
    // waits for the block under way: the program never ends with a new
    // file left beside the output.
    catchBreak();
    int writeError = 0;
    DumpEnd end = DumpEnd::writeFailed;
    if (startDump(output))
        end = dumpChip(device, output.file, size, writeError);
    else
        writeError = errno;
    FT_Close(device);
    if (!endDump(output, end == DumpEnd::whole)) {
        end = DumpEnd::writeFailed;
        writeError = errno;
    }
    releaseBreak();

    if (end == DumpEnd::writeFailed) reportFileFailure("write", outputPath, writeError);
    if (end != DumpEnd::whole) {
        printErrorLine();
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}
