"""What an operator can get wrong on the command line, on disk and at the
prompts. Each run does what it was asked, or names what it can't do and ends
"Error." with status 1; either way it leaves alone every file it was not
asked to write.

Already run by the programs' own suites and not repeated here: no argument
and extra arguments, a missing image, a directory as the image, an empty
image, end of input at the prompts (burn_cases.py); one argument and extra
arguments, sizes empty, not hexadecimal, negative and from 100000000 up, an
output in a missing folder or on a full disk, end of input (dump_cases.py)."""
import os
import re

from common import *
from harness import CLOSED, Case, IMAGE, OUTPUT

EARLIER = b"an earlier dump, to be kept"
IMAGE_DATA = data(5000, seed=41)
CHIP_DATA = data(65536, seed=42)
ROOT_NOTE = "needs POSIX file modes"


def cant(what, path, reason):
    return re.compile(b"Can't %s %s: %s" % (what, re.escape(path.encode()), reason) + rb"\nError\.\n")


def keeps(name, content):
    """A check that the file `name` in the work folder still holds `content`."""
    def check(result):
        with open(os.path.join(result["work"], name), "rb") as f:
            return None if f.read() == content else f"{name} was changed"
    return check


def chmod(name, mode):
    return lambda work: os.chmod(os.path.join(work, name), mode)


def mkdir_with_file(name):
    def setup(work):
        os.mkdir(os.path.join(work, name))
        with open(os.path.join(work, name, "inside"), "wb") as f:
            f.write(EARLIER)
    return setup


CASES = [
    # Root reads any file: the harness runs this one as nobody when it must.
    Case(name="bad input: chipburn names an unreadable image and leaves the device alone", prog="chipburn",
         args=[IMAGE], image=IMAGE_DATA, setup=[chmod(IMAGE, 0)], unprivileged=True, not_on_windows=ROOT_NOTE,
         status=1, stdout=b"", stderr=cant(b"open", IMAGE, b"Permission denied"), log=[],
         check=keeps(IMAGE, IMAGE_DATA)),
    # With fd 0 closed the image takes that number; the prompts must not read from it.
    Case(name="bad input: chipburn with standard input closed burns the whole image", prog="chipburn",
         args=[IMAGE], image=IMAGE_DATA, stdin=CLOSED, status=0, stderr=b"",
         stdout=BURN_ON + fills(0, 0x800, 0x1000) + BURN_OFF, log=WRITER_OPEN + [WRITE] * 3 + [CLOSE],
         wire=link_bytes(IMAGE_DATA), chip_after=burned(IMAGE_DATA), check=keeps(IMAGE, IMAGE_DATA)),
    Case(name="bad input: chipdump with standard input closed dumps the chip", prog="chipdump",
         args=[OUTPUT, "1800"], chip=CHIP_DATA, stdin=CLOSED, status=0, stderr=b"",
         stdout=DUMP_READY + progress(0, 0x800, 0x1000), log=READER_OPEN + [PURGE, RESTART] + [READ] * 3 + [CLOSE],
         output=CHIP_DATA[:0x1800]),
    Case(name="bad input: chipdump refuses a directory as the output and leaves it alone", prog="chipdump",
         args=["earlier", "800"], chip=CHIP_DATA, setup=[mkdir_with_file("earlier")], status=1, stdout=b"",
         stderr=cant(b"open", "earlier", rb"[^\n]+"), log=[], check=keeps("earlier/inside", EARLIER)),
    Case(name="bad input: chipdump names a read-only output and keeps what it holds", prog="chipdump",
         args=[OUTPUT, "800"], chip=CHIP_DATA, output_before=EARLIER, setup=[chmod(OUTPUT, 0o444)],
         unprivileged=True, not_on_windows=ROOT_NOTE, status=1, stdout=b"",
         stderr=cant(b"open", OUTPUT, b"Permission denied"), log=[], output=EARLIER),
    # 2 to the 64th: a parser that let its sum wrap would take it as 0.
    Case(name="bad input: chipdump refuses a size past 64 bits and keeps the earlier dump", prog="chipdump",
         args=[OUTPUT, "10000000000000000"], output_before=EARLIER, status=1, stdout=b"",
         stderr=b"Can't take \"10000000000000000\" as the size: give a hexadecimal number below 100000000.\n"
                + ERROR, log=[], output=EARLIER),
]
