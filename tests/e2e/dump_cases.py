import re

from common import *
from harness import Case, IMAGE, OUTPUT, SKIP

CHIP_DATA = data(65536, seed=11)
SIZE_ERROR = rb"Can't take \"[^\n]*\" as the size: give a hexadecimal number below 100000000\.\n"


def dump(name, size, chip=CHIP_DATA, **more):
    """A complete run of `size` addresses from a chip that holds `chip`."""
    blocks = max(1, -(-size // STRETCH))
    expect = dict(prog="chipdump", args=[OUTPUT, f"{size:x}"], chip=chip, status=0, stderr=b"",
                  stdout=DUMP_READY + progress(*range(0, blocks * STRETCH, STRETCH)),
                  log=READER_OPEN + [PURGE, RESTART] + [READ] * blocks + [CLOSE],
                  output=(chip * (size // len(chip) + 1))[:size], chip_after=chip)
    expect.update(more)
    return Case(name=name, **expect)


def refused(name, stderr, log, **more):
    """Nothing sampled: the output file is left empty."""
    expect = dict(prog="chipdump", args=[OUTPUT, "800"], chip=CHIP_DATA, status=1, stdout=b"",
                  stderr=stderr + ERROR, log=log, output=b"")
    expect.update(more)
    return Case(name=name, **expect)


def bad_size(text):
    return Case(name=f"dump: size {text!r} is refused before the file is touched", prog="chipdump",
                args=[OUTPUT, text], output_before=b"an earlier dump", status=1, stdout=b"",
                stderr=re.compile(SIZE_ERROR + rb"Error\.\n"), log=[], output=b"an earlier dump")


CASES = [
    dump("dump: size 0 receives one block and writes nothing", 0),
    dump("dump: size 7FF keeps all 2047 bytes", 0x7FF),
    dump("dump: size 800 writes one block", 0x800),
    dump("dump: size 900 writes 2304 bytes", 0x900),
    dump("dump: size 2000 shows 0 800 1000 1800", 0x2000),
    dump("dump: a whole 64 KiB chip", 0x10000),
    dump("dump: a size beyond the chip wraps around", 0x1900, chip=data(4096, seed=12)),
    dump("dump: a leading 0x is taken", 0x800, args=[OUTPUT, "0x800"]),
    dump("dump: upper-case digits are taken", 0xABC, args=[OUTPUT, "ABC"]),
    dump("dump: the prompt takes one character", 0x800, stdin=b"x", stdin_stays_open=True),
    dump("dump: end of input answers the prompt", 0x800, stdin=b""),
    dump("dump: arguments after the size are ignored", 0x800, args=[OUTPUT, "800", "extra"]),
    dump("dump: an earlier file is replaced", 0x10, output_before=data(9000)),
    Case(name="dump: one argument does nothing", prog="chipdump", args=[OUTPUT], status=1, stdout=b"",
         stderr=b"", log=[], output=None),
    refused("dump: no board", CANT_INIT, opening(9600, 0x00, 0, 2), env={"SIMBOARD_ABSENT": "1"}),
    bad_size(""), bad_size("xyz"), bad_size("-1"), bad_size("100000000"), bad_size("800k"), bad_size("0x"),
    Case(name="dump: an output that cannot be opened is named", prog="chipdump", args=["no/such/dir", "800"],
         status=1, stdout=b"", stderr=re.compile(rb"Can't open no/such/dir: [^\n]+\nError\.\n"), log=[]),
    dump("dump: a full disk is never reported as done", 0x2000, args=["/dev/full", "2000"], output=SKIP, stdout=SKIP,
         status=1, stderr=re.compile(rb"Can't write /dev/full: [^\n]+\nError\.\n"), log=SKIP,
         check=lambda r: None if closed_last(r) else "device left open"),
]
