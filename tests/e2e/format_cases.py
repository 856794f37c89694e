"""Images as users have them: Intel HEX and S-record read whole and checked
before the board is touched, their bytes at their addresses, an image moved
with --at, no block sent past the last one that programs a cell, and
chipdump's text read back by srec_cat. srec_cat makes the text images from
random bytes, as the tools users have would."""
import os
import subprocess

from common import *
from harness import Case, IMAGE, OUTPUT, read

TEXT = [(0x1000, data(3000, seed=51)), (0x2A00, data(500, seed=52))]  # a gap between, 3500 bytes, up to 0x2bf3
RAW = data(3000, seed=53)
SREC_CAT_FORMAT = {"ihex": "-intel", "srec": "-motorola"}


def made(pieces, form, name=IMAGE, per_record=32):
    """A setup: srec_cat writes the pieces, [(address, bytes)], as a text image."""
    def setup(work):
        command = ["srec_cat"]
        for k, (address, piece) in enumerate(pieces):
            with open(os.path.join(work, f"piece{k}.bin"), "wb") as f:
                f.write(piece)
            command += [f"piece{k}.bin", "-binary", "-offset", hex(address)]
        command += ["-o", name, SREC_CAT_FORMAT[form], f"-obs={per_record}"]
        subprocess.run(command, cwd=work, check=True)
    return setup


def placed(pieces, chip=ERASED):
    out = bytearray(chip)
    for address, piece in pieces:
        out[address:address + len(piece)] = piece
    return bytes(out)


def moved(pieces, to):
    return [(address - pieces[0][0] + to, piece) for address, piece in pieces]


def reads_up_to(highest):
    return progress(*range(0, highest + 1, STRETCH))


def burn(name, args, stdout_fills, writes, chip_after, **more):
    return Case(name=name, prog="chipburn", args=args, status=0, stderr=b"", stdout=BURN_ON + fills(*stdout_fills)
                + BURN_OFF, log=WRITER_OPEN + [WRITE] * writes + [CLOSE], chip_after=chip_after, **more)


def burned_and_verified(form, at):
    pieces = TEXT if form != "raw" else [(0, RAW)]
    where = moved(pieces, at) if at is not None else pieces
    options = ["--at", f"{at:x}"] if at is not None else []
    highest = where[-1][0] + len(where[-1][1]) - 1
    given = sum(len(piece) for _, piece in pieces)
    if form == "raw" and at is None:
        verdict = b"\nThe chip holds image.bin: 3000 bytes.\n"
    else:
        verdict = b"\nThe chip holds image.bin at the %d addresses it gives, from 0x%x to 0x%x.\n" % (
            given, where[0][0], highest)
    return Case(name=f"{form}: burned and verified" + (f" with --at {at:x}" if at is not None else " where it says"),
                prog="chipverify", args=options + [IMAGE], image=RAW if form == "raw" else None,
                setup=[] if form == "raw" else [made(pieces, form, per_record=16 if at else 32)],
                before=[("chipburn", options + [IMAGE])], status=0, stderr=b"",
                stdout=DUMP_READY + reads_up_to(highest) + verdict,
                log=READER_OPEN + [PURGE, RESTART] + [READ] * (highest // STRETCH + 1) + [CLOSE],
                chip_after=placed(where))


CASES = [burned_and_verified(form, at) for form in ("ihex", "srec", "raw") for at in (None, 0x4000)]

# Before the gap's addresses were compared as erased, a chip that held
# something there differed; a gap is none of the image's.
CASES += [
    Case(name="ihex: the chip's bytes in the image's gaps are not compared; a differing given byte is",
         prog="chipverify", args=[IMAGE], setup=[made(TEXT, "ihex")],
         chip=placed([(0x1C00, b"\x00" * 0x800), (0x1000, b"\x55")], placed(TEXT)), status=1, stderr=b"",
         stdout=DUMP_READY + reads_up_to(0x2BF3) + b"\nThe chip differs from image.bin at 1 of the 3500 addresses it "
         b"gives, from 0x1000 to 0x2bf3, first at 0x1000: chip 0x55, image 0x%02x.\n" % TEXT[0][1][0]
         + (b"It can take the image without erasing.\n" if TEXT[0][1][0] & ~0x55 == 0 else
            b"It must be erased before it can take the image.\n"),
         log=READER_OPEN + [PURGE, RESTART] + [READ] * 6 + [CLOSE]),
]

# The blocks before the first byte still go (the board's counter moves only
# by sending); every block after the last one that programs a cell does not.
B = [(0x3000, data(1000, seed=54))]
CPU = [(0xE000, data(2 * STRETCH, seed=55))]
CASES += [
    burn("ihex: blocks before the image's lowest address go as erased bytes, none after its highest", [IMAGE],
         range(0, 0x3000, STRETCH), 6, placed(TEXT), setup=[made(TEXT, "ihex")]),
    burn("two images in two burns: the second's gaps leave the first in the chip", [IMAGE],
         range(0, 0x3800, STRETCH), 7, placed(TEXT + B), setup=[made(TEXT, "ihex", "a.hex"), made(B, "srec")],
         before=[("chipburn", ["a.hex"])]),
    burn("ihex linked for a CPU at E000 burns from the chip's first cell with --at 0", ["--at", "0", IMAGE],
         (0, 0x800), 2, placed(moved(CPU, 0)), setup=[made(CPU, "ihex")]),
    burn("srec: S2 records above 64 KiB placed with --at", ["--at", "800", IMAGE], (0, 0x800, 0x1000), 3,
         placed(moved(CPU, 0x800)), setup=[made(moved(CPU, 0x1E000), "srec", per_record=16)]),
    burn("raw with --at: the blocks before it go erased, the first block filled up to it", ["--at", "1234", IMAGE],
         range(0, 0x2000, STRETCH), 4, placed([(0x1234, RAW)]), image=RAW,
         wire=doubled(placed([(0x1234, RAW)])[:0x2000])),
    burn("raw: a tail of erased blocks is not sent", [IMAGE], range(0, 0x2800, STRETCH), 4,
         burned(data(4 * STRETCH, seed=56)), image=data(4 * STRETCH, seed=56) + ERASED[4 * STRETCH:],
         wire=doubled(data(4 * STRETCH, seed=56))),
    burn("raw: an erased block between two that program cells is sent", [IMAGE], range(0, 0x2000, STRETCH), 3,
         burned(RAW[:STRETCH] + ERASED[:STRETCH] + RAW[:STRETCH]),
         image=RAW[:STRETCH] + ERASED[:STRETCH] + RAW[:STRETCH] + ERASED[:2 * STRETCH]),
    burn("raw: an image all erased sends nothing and is done", [IMAGE], (0,), 0, ERASED, image=ERASED[:5000],
         wire=b""),
    burn("raw on a pipe: erased blocks are held back and the tail never sent", [PIPE], (0, 0x800, 0x1000), 2,
         burned(RAW[:2 * STRETCH]), setup=[piped(RAW[:2 * STRETCH] + ERASED[:3 * STRETCH], 1000)],
         not_on_windows="no FIFOs"),
    burn("raw forced on an Intel HEX image burns its text", ["--format", "raw", IMAGE], (0,), 1,
         burned(b":03000000010203F7\n:00000001FF\n"), image=b":03000000010203F7\n:00000001FF\n"),
]


def hex_on_pipe(work):
    made(TEXT, "ihex", "text.hex")(work)
    piped(read(os.path.join(work, "text.hex")), 100)(work)


CASES += [burn("ihex on a pipe is read whole before the board is opened", [PIPE], range(0, 0x3000, STRETCH), 6,
               placed(TEXT), setup=[hex_on_pipe], not_on_windows="no FIFOs")]

HEX_START = ":03000000010203F7\n"
SREC_START = "S0030000FC\nS1060000010203F3\n"
# (what is refused, the text, the line and the reason given for it)
REFUSED = [
    ("a wrong checksum", HEX_START + ":03001000010203F7\n:00000001FF\n", 2,
     "the checksum is F7, the record's sum makes it E7"),
    ("a character that is no hexadecimal digit", HEX_START + ":0300100001020G03E7\n:00000001FF\n", 2,
     "'G' is not a hexadecimal digit"),
    ("a length that does not match", HEX_START + ":04001000010203E7\n:00000001FF\n", 2,
     "the record says 4 bytes but holds 3"),
    ("an unknown record type", HEX_START + ":00000006FA\n:00000001FF\n", 2, "no record type 06"),
    ("a missing end record", HEX_START + "\n", 3, "no end record"),
    ("text after the end record", HEX_START + ":00000001FF\n\n:03001000010203E7\n", 4, "text after the end record"),
    ("an address given twice with different bytes", HEX_START + ":01000100FFFF\n:00000001FF\n", 2,
     "address 1 given twice with different bytes"),
    ("data past FFFFFFFF", HEX_START + ":02000004FFFFFC\n:04FFFE0001020304F5\n:00000001FF\n", 3, "data past FFFFFFFF"),
    ("a wrong S-record checksum", SREC_START + "S1060010010203F3\nS9030000FC\n", 3,
     "the checksum is F3, the record's sum makes it E3"),
    ("a wrong S-record count", SREC_START + "S5030002FA\nS9030000FC\n", 3,
     "the count record says 2 data records, there are 1"),
    ("an unknown S-record type", SREC_START + "S4030000FC\nS9030000FC\n", 3, "no record type S4"),
    ("a missing S-record end", SREC_START, 3, "no end record"),
]
CASES += [Case(name=f"{prog}: {what} is refused with its line, the board untouched", prog=prog, args=[IMAGE],
               image=text.encode(), status=status, stdout=b"", log=[],
               stderr=b"Can't %s image.bin: line %d: %s\n" % (verb, line, reason.encode()) + ERROR)
          for what, text, line, reason in REFUSED
          for prog, verb, status in (("chipburn", b"burn", 1), ("chipverify", b"verify", 2))]


def refused(name, prog, args, stderr, **more):
    status = 2 if prog == "chipverify" else 1
    return Case(name=name, prog=prog, args=args, status=status, stdout=b"", stderr=stderr + ERROR, log=[], **more)


CASES += [
    refused("ihex: a text that gives no bytes is refused", "chipburn", [IMAGE],
            b"Can't burn image.bin: it gives no bytes\n", image=b":00000001FF\n"),
    refused("ihex: --at that moves an image past FFFFFFFF is refused", "chipverify", ["--at", "FFFFF000", IMAGE],
            b"Can't verify image.bin: it would run past FFFFFFFF\n", setup=[made(TEXT, "ihex")]),
    refused("raw: --at that moves an image past FFFFFFFF is refused", "chipburn", ["--at", "FFFFF800", IMAGE],
            b"Can't burn image.bin: it would run past FFFFFFFF\n", image=RAW),
    refused("chipburn: an unknown format is refused", "chipburn", ["--format", "xyz", IMAGE],
            b"Can't take \"xyz\" as the format: give raw, ihex or srec.\n", image=RAW),
    refused("chipverify: an address that is no hexadecimal number is refused", "chipverify",
            ["--format", "ihex", "--at", "12g", IMAGE],
            b"Can't take \"12g\" as the address: give a hexadecimal number from 0 to FFFFFFFF.\n", image=RAW),
    refused("chipdump: an unknown format is refused, an earlier dump kept", "chipdump", ["--format", "hex", OUTPUT, "800"],
            b"Can't take \"hex\" as the format: give raw, ihex or srec.\n", output_before=EARLIER, output=EARLIER),
    refused("chipburn: an option misspelt is taken for the image", "chipburn", ["--fromat", "ihex", IMAGE],
            b"Can't open --fromat: No such file or directory\n"),
    Case(name="chipburn: an option without its value does nothing, as no argument does", prog="chipburn",
         args=["--at"], status=1, stdout=b"", stderr=b"", log=[]),
]

CHIP_DATA = data(65536, seed=57)


def read_back(size, form):
    """srec_cat reads the dump back to the chip's bytes (the socket wraps past 64 KiB)."""
    def check(result):
        back = subprocess.run(["srec_cat", OUTPUT, SREC_CAT_FORMAT[form], "-o", "-", "-binary"], cwd=result["work"],
                              capture_output=True)
        want = (CHIP_DATA * 2)[:size]
        return None if back.returncode == 0 and back.stdout == want else f"srec_cat read back {back.stderr!r}, " \
            f"{len(back.stdout)} bytes, not the chip's {size}"
    return check


CASES += [Case(name=f"chipdump --format {form} {size:x}: srec_cat reads back every address", prog="chipdump",
               args=["--format", form, OUTPUT, f"{size:x}"], chip=CHIP_DATA, status=0, stderr=b"",
               stdout=DUMP_READY + progress(*range(0, size, STRETCH)),
               log=READER_OPEN + [PURGE, RESTART] + [READ] * (size // STRETCH) + [CLOSE], check=read_back(size, form))
          for form, size in (("ihex", 0x1800), ("ihex", 0x18000), ("srec", 0x1800), ("srec", 0x18000))]
CASES += [Case(name="chipdump: raw whatever OUTPUT is called", prog="chipdump", args=["rom.hex", "800"],
               chip=CHIP_DATA, status=0, stderr=b"", stdout=DUMP_READY + progress(0),
               check=lambda result: None if read(os.path.join(result["work"], "rom.hex")) == CHIP_DATA[:0x800]
               else "rom.hex is not the chip's raw bytes")]
