"""chipverify: the chip compared with an image, or checked blank. The status
is cmp's: 0 the same, 1 different, 2 trouble, which gives no verdict."""
import os

from common import *
from harness import Case, IMAGE

IMAGE_DATA = data(5000, seed=41)  # two whole blocks and 904 addresses
WHOLE = data(2 * STRETCH, seed=42)


def changed(base, at):
    """base with the bytes at some addresses replaced: {address: byte}."""
    out = bytearray(base)
    for address, byte in at.items():
        out[address] = byte
    return bytes(out)


def verify(name, chip, verdict, status, reads=3, args=(IMAGE,), image=IMAGE_DATA, **more):
    expect = dict(prog="chipverify", args=list(args), image=image, chip=chip, status=status, stderr=b"",
                  stdout=DUMP_READY + progress(*range(0, reads * STRETCH, STRETCH)) + verdict,
                  log=READER_OPEN + [PURGE, RESTART] + [READ] * reads + [CLOSE], chip_after=chip)
    expect.update(more)
    return Case(name=name, **expect)


def sparse(length):
    """The image as a file of that length that takes no disk."""
    return lambda work: os.truncate(os.path.join(work, IMAGE), length)


def trouble(name, stdout, stderr, log, **more):
    expect = dict(prog="chipverify", args=[IMAGE], image=IMAGE_DATA, chip=burned(IMAGE_DATA), status=2)
    expect.update(more)
    if log is not None:
        expect["log"] = log
    return Case(name=name, stdout=stdout, stderr=stderr, **expect)


# Under Wine the closed number goes to a file of Wine's own, which takes
# what is written there or fails it by chance.
STDOUT_CLOSED = dict(not_on_windows="Wine puts its own file there")
TAKEABLE = changed(IMAGE_DATA, {0x1234: 0x5A})
ERASE = changed(IMAGE_DATA, {0x300: 0x0F, 0x1000: 0xF0})

CASES = [
    verify("verify: a burned image is what the chip holds", None, b"\nThe chip holds image.bin: 5000 bytes.\n", 0,
           before=[("chipburn", [IMAGE])], chip_after=burned(IMAGE_DATA)),
    # 0x1388 is the first address past the image, in its last block.
    verify("verify: one bit still 1 differs, and the chip can take the image; past the image's end nothing counts",
           changed(burned(TAKEABLE), {0x1234: 0x5B, 0x1388: 0x00}),
           b"\nThe chip differs from image.bin at 1 of 5000 addresses, first at 0x1234: chip 0x5b, image 0x5a.\n"
           b"It can take the image without erasing.\n", 1, image=TAKEABLE),
    # The first difference could be programmed; the second needs a bit back to 1.
    verify("verify: a bit that must go from 0 to 1, at any differing address, needs the chip erased",
           changed(burned(ERASE), {0x300: 0x1F, 0x1000: 0x70}),
           b"\nThe chip differs from image.bin at 2 of 5000 addresses, first at 0x300: chip 0x1f, image 0x0f.\n"
           b"It must be erased before it can take the image.\n", 1, image=ERASE),
    verify("verify: an image of whole blocks costs no block past its end", burned(WHOLE),
           b"\nThe chip holds image.bin: 4096 bytes.\n", 0, reads=2, image=WHOLE),
    verify("verify: an image of whole blocks on a pipe, whose end shows only at a read, costs none either", burned(WHOLE),
           b"\nThe chip holds image.fifo: 4096 bytes.\n", 0, reads=2, args=[PIPE], image=None,
           setup=[piped(WHOLE, 1000)], not_on_windows="no FIFOs"),
    # The second stretch has come only in part: its block waits for the rest.
    verify("verify: while the image pipe stalls, the progress line already shows the stretch under way",
           burned(IMAGE_DATA), b"\nThe chip holds image.fifo: 5000 bytes.\n", 0, args=[PIPE], image=None,
           setup=[piped(IMAGE_DATA, STRETCH + 1000, held=True)],
           dialogue=[(DUMP_READY, READER_OPEN, b"\n"),
                     (DUMP_READY + progress(0, 0x800), READER_OPEN + [PURGE, RESTART, READ],
                      lambda work: HELD.pop(work).set())],
           not_on_windows="no FIFOs"),
    verify("verify: a verdict that cannot be written is trouble", burned(IMAGE_DATA), b"", 2, stdout_file="/dev/full",
           stdout=b"", stderr=b"Can't write the verdict: No space left on device\n" + ERROR),
    # `chipverify image.bin >&-`: the operator would fit a chip for a verdict no one gets.
    trouble("verify: started without standard output, the verdict is trouble, the board left alone", b"",
            b"Can't write the verdict: Bad file descriptor\n" + ERROR, [], closed=[1], **STDOUT_CLOSED),
    verify("verify: an erased chip is blank", ERASED, b"\nThe chip is blank: 65536 bytes.\n", 0, reads=32,
           args=["--blank", "0x10000"], image=None),
    # 0x2000 is past the size, in no block that is received.
    verify("verify: a chip with programmed bytes is not blank", changed(ERASED, {0x1234: 0x00, 0x1FFF: 0xFE, 0x2000: 0}),
           b"\nThe chip is not blank: 2 of 8192 addresses programmed, first at 0x1234 (0x00).\n", 1, reads=4,
           args=["--blank", "2000"], image=None),
    trouble("verify: no board is trouble", b"", CANT_INIT + ERROR, ['FT_OpenEx "Zerbanit" 2 -> 2'],
            env={"SIMBOARD_ABSENT": "1"}),
    trouble("verify: a refused purge is trouble", DUMP_READY, ERROR, READER_OPEN + ["FT_Purge 3 -> 4", CLOSE],
            env={"SIMBOARD_FAIL": "FT_Purge:1"}),
    trouble("verify: a refused receive is trouble, never a verdict", DUMP_READY + progress(0, 0x800),
            CANT_INPUT + ERROR, READER_OPEN + [PURGE, RESTART, READ, "FT_Read 4096 -> 4 0", CLOSE],
            env={"SIMBOARD_FAIL": "FT_Read:2"}),
    trouble("verify: a short last receive is trouble, never a verdict", DUMP_READY + progress(0, 0x800, 0x1000),
            CANT_INPUT + ERROR, READER_OPEN + [PURGE, RESTART, READ, READ, "FT_Read 4096 -> 0 1000", CLOSE],
            env={"SIMBOARD_SHORT": "FT_Read:3=1000"}),
    # Over USB the board itself fails: 8150 samples are past the first block's 4096.
    trouble("verify: unplugged over USB during a verify is trouble, never a verdict", DUMP_READY + progress(0, 0x800),
            CANT_INPUT + ERROR, None, usb_only=True, env={"SIMBOARD_UNPLUG_IN": "8150"}),
    trouble("verify: a purge refused over USB is trouble", DUMP_READY, ERROR, None, usb_only=True,
            env={"SIMBOARD_REFUSE": "00:1"}),
    trouble("verify: a missing image is trouble, the board left alone", b"",
            b"Can't open image.bin: No such file or directory\n" + ERROR, [], image=None),
    trouble("verify: an argument that only starts with --blank is an image", b"",
            b"Can't open --blanks: No such file or directory\n" + ERROR, [], args=["--blanks", "800"], image=None),
    # Address 0 of a process is never mapped: the file opens, and its first read fails.
    trouble("verify: an image whose read fails is trouble, never a verdict, the board left alone", b"",
            b"Can't read /proc/self/mem: Input/output error\n" + ERROR, [], args=["/proc/self/mem"], image=None,
            not_on_windows="no /proc/self/mem"),
    trouble("verify: an empty image is trouble, the board left alone", b"",
            b"Can't verify image.bin: it is empty\n" + ERROR, [], image=b""),
    # `chipverify <(xz -dc missing.bin.xz)`: a pipe is empty only once it ends.
    trouble("verify: an empty image on a pipe is trouble, and no block is received", DUMP_READY + progress(0),
            b"Can't verify image.fifo: it is empty\n" + ERROR, READER_OPEN + [PURGE, RESTART, CLOSE], args=[PIPE],
            image=None, setup=[piped(b"", 0)], not_on_windows="no FIFOs"),
    *(trouble(f"verify: --blank {text} is trouble, the board left alone", b"",
              b"Can't take \"%s\" as the size: give a hexadecimal number from 1 to FFFFFFFF.\n" % text.encode()
              + ERROR, [], args=["--blank", text]) for text in ("800k", "0")),
    *(Case(name=f"verify: {' '.join(args) or 'no argument'} prints nothing and is trouble", prog="chipverify",
           args=args, status=2, stdout=b"", stderr=b"", log=[]) for args in ([], ["--blank"])),
]

OPTIONS = b"[--format raw|ihex|srec] "
CASES += [case for prog, usage, failed in (("chipburn", OPTIONS + b"[--at ADDRESS] IMAGE", 1),
                                          ("chipdump", OPTIONS + b"OUTPUT SIZE", 1),
                                          ("chipverify", OPTIONS + b"[--at ADDRESS] IMAGE | --blank SIZE", 2))
          for option, what, line in (("--help", b"usage", b"usage: %s %s\n" % (prog.encode(), usage)),
                                     ("--version", b"version", prog.encode() + b" 1.0\n"))
          for case in (Case(name=f"{prog} {option}: one line on stdout", prog=prog, args=[option, "extra"], status=0,
                            stderr=b"", stdout=line, log=[]),
                       *(Case(name=f"{prog} {option}: a line {how} is a failure", prog=prog, args=[option],
                              status=failed, stdout=b"", log=[], stderr=b"Can't write the %s line: %s\n" % (what, reason)
                              + ERROR, **more)
                         for how, reason, more in (
                             ("that cannot be written", b"No space left on device", dict(stdout_file="/dev/full")),
                             ("with standard output closed", b"Bad file descriptor", dict(closed=[1], **STDOUT_CLOSED)))))]

# stdbuf -o0 or -oL: the line's own write fails, and the final flush finds
# nothing left to write. stdbuf's library is preloaded ahead of a sanitized
# build's runtime, which refuses to start unless told that order will do.
CASES += [Case(name=f"{prog} {option} under stdbuf {mode}: a line whose write failed is a failure", prog=prog,
               args=[option], wrapper=["stdbuf", mode], stdout_file="/dev/full", status=failed, stdout=b"", log=[],
               stderr=b"Can't write the %s line: No space left on device\n" % what + ERROR,
               env={"ASAN_OPTIONS": "verify_asan_link_order=0"},
               not_on_windows="stdbuf sets only a Linux C library's buffers")
          for prog, option, mode, what, failed in (("chipverify", "--version", "-o0", b"version", 2),
                                                   ("chipburn", "--help", "-oL", b"usage", 1),
                                                   ("chipdump", "--version", "-oL", b"version", 1))]

# The end of the 32-bit address space, known from a regular file's length
# before the board is opened. An image one byte shorter gets as far as the
# board, here an absent one.
CASES += [Case(name=f"{prog}: an image of {length:X} bytes " + ("is refused" if refused else "is taken"), prog=prog,
               args=[IMAGE], image=b"", setup=[sparse(length)], env={"SIMBOARD_ABSENT": "1"}, status=status,
               stdout=b"", log=[] if refused else ['FT_OpenEx "Zerbanit" 2 -> 2'],
               stderr=(b"Can't %s image.bin: it is longer than FFFFFFFF bytes\n" % verb if refused else CANT_INIT) + ERROR)
          for prog, verb, status in (("chipburn", b"burn", 1), ("chipverify", b"verify", 2))
          for length, refused in ((0xFFFFFFFF, False), (0x100000000, True))]
