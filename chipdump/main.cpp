// chipdump: copies the contents of the EPROM fitted in the board into a raw
// file, one byte per ROM address.
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

struct DumpResult {
    bool receiveFailed;
    bool writeFailed;
    int writeError;  // errno of the failed write
};

// Each stretch is written as it comes in, the last one as far as the size
// goes. A failed write ends the dump; its reason is kept for the message.
DumpResult dumpChip(FT_HANDLE device, std::FILE* output, std::uint32_t size) {
    DumpResult result{false, false, 0};
    auto write = [&](std::uint32_t, const Stretch& settled, std::uint32_t count) {
        if (std::fwrite(settled.data(), 1, count, output) == count) return true;
        result.writeFailed = true;
        result.writeError = errno;
        return false;
    };
    result.receiveFailed = sampleChip(device, size, write) == SampleEnd::receiveFailed;
    return result;
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

    if (startSampling(device) != 0) {
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
        dump = dumpChip(device, output, size);
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
