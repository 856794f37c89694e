// chipdump: copies the contents of the EPROM fitted in the board into a
// file: raw, one byte per ROM address, or Intel HEX or S-record when asked,
// every address written, erased ones too.
#include "breaks.h"
#include "console.h"
#include "devicelink.h"
#include "files.h"
#include "ihex.h"
#include "options.h"
#include "sampling.h"
#include "size.h"
#include "srec.h"
#include "system.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr char usage[] = "[--format raw|ihex|srec] OUTPUT SIZE";

// How a dump ends. A failed write is told at the end; the other ends said
// why on the way, or, for a refused restart of the board's input and a
// break, have nothing more to say than the error line.
enum class DumpEnd {
    goOn,
    done,
    infoUnwritten,
    optionRefused,
    sizeRefused,
    outputRefused,
    boardRefused,
    startRefused,
    receiveFailed,
    writeFailed,
    broken
};

// The dump's text as it is written: a record stretch at a time, the
// writers holding only where they are.
struct DumpWriter {
    ImageFormat format;
    IhexWriter ihex;
    SrecWriter srec;
};

bool startWriting(DumpWriter& writer, std::FILE* output, std::uint32_t size) {
    if (writer.format == ImageFormat::ihex) startIhex(writer.ihex, output);
    return writer.format != ImageFormat::srec || startSrec(writer.srec, output, size);
}

bool writeStretch(DumpWriter& writer, std::FILE* output, std::uint32_t address, const Stretch& settled,
                  std::uint32_t count) {
    if (writer.format == ImageFormat::ihex) return writeIhex(writer.ihex, address, settled.data(), count);
    if (writer.format == ImageFormat::srec) return writeSrec(writer.srec, address, settled.data(), count);
    return std::fwrite(settled.data(), 1, count, output) == count;
}

bool endWriting(DumpWriter& writer) {
    if (writer.format == ImageFormat::ihex) return endIhex(writer.ihex);
    return writer.format != ImageFormat::srec || endSrec(writer.srec);
}

// Each stretch is written as it comes in, the last one as far as the size
// goes, and a text's end after it. A break stops the dump after the block
// under way; a failed write ends it, with its reason kept for the message.
DumpEnd dumpChip(FT_HANDLE device, std::FILE* output, std::uint32_t size, DumpWriter& writer, int& writeError) {
    auto plan = [size](std::uint32_t address, StretchPlan& next) {
        showProgress(address);
        next = stretchOfSize(size, address);
        return DumpEnd::goOn;
    };
    auto write = [&](std::uint32_t address, const Stretch& settled, std::uint32_t count) {
        bool written = writeStretch(writer, output, address, settled, count) &&
                       (address + count < size || endWriting(writer));
        // A write to a stalled pipe that the break cut short is the break.
        if (exitNow) return DumpEnd::broken;
        if (written) return DumpEnd::goOn;
        writeError = errno;
        return DumpEnd::writeFailed;
    };
    if (!startWriting(writer, output, size)) {
        writeError = errno;
        return DumpEnd::writeFailed;
    }
    return sampleChip<DumpEnd>(device, plan, write);
}

// The size and the output checked and the board set up before the operator
// fits the chip; the dump after the prompt.
DumpEnd dump(const ArgChar* outputPath, const ArgChar* sizeText, DumpWriter& writer, DumpFile& output,
             int& writeError) {
    // Checked before the file is opened, so a typo never touches a dump
    // that is already there; a size of 0 would replace it with nothing.
    std::uint32_t size = 0;
    if (!takeSize(sizeText, size)) return DumpEnd::sizeRefused;
    if (!openDump(outputPath, output)) return DumpEnd::outputRefused;
    FT_HANDLE device = nullptr;
    if (initUSB(&device, readerLink) != 0) {
        endDump(output, false);
        return DumpEnd::boardRefused;
    }
    prompt(readyPrompt);
    if (startSampling(device) != 0) {
        FT_Close(device);
        endDump(output, false);
        return DumpEnd::startRefused;
    }

    // Until the dump has taken the output's place or been removed, a break
    // waits for the block under way: the program never ends with a new
    // file left beside the output.
    catchBreak();
    DumpEnd end = DumpEnd::writeFailed;
    if (startDump(output))
        end = dumpChip(device, output.file, size, writer, writeError);
    else
        writeError = errno;
    FT_Close(device);
    if (!endDump(output, end == DumpEnd::done)) {
        end = DumpEnd::writeFailed;
        writeError = errno;
    }
    releaseBreak();
    return end;
}

// Where an end becomes the program's last lines and its status. A whole
// dump that reached the output neither way is where the user can find it.
int endWith(DumpEnd end, const ArgChar* outputPath, const DumpFile& output, int writeError) {
    if (end == DumpEnd::done) return EXIT_SUCCESS;
    if (end == DumpEnd::writeFailed) reportFileFailure("write", outputPath, writeError);
    if (output.kept) reportArgumentFailure("The whole dump is in ", output.fresh.data(), ".\n");
    printErrorLine();
    return EXIT_FAILURE;
}

}  // namespace

int PROGRAM_MAIN(int argc, ArgChar** argv) {
    guardStandardStreams();
    if (argc < 2) return EXIT_FAILURE;
    InfoAnswer info = answerInfo(argv[1], "chipdump", usage);
    if (info == InfoAnswer::given) return EXIT_SUCCESS;
    DumpFile output;
    if (info == InfoAnswer::unwritten) return endWith(DumpEnd::infoUnwritten, argv[1], output, 0);
    ImageOptions options;
    int next = takeOptions(argc, argv, false, options);
    if (next == 0) return endWith(DumpEnd::optionRefused, argv[1], output, 0);
    if (next + 1 >= argc) return EXIT_FAILURE;
    DumpWriter writer{options.format, {}, {}};
    int writeError = 0;
    DumpEnd end = dump(argv[next], argv[next + 1], writer, output, writeError);
    return endWith(end, argv[next], output, writeError);
}
