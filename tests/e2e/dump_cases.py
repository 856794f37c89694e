import os
import subprocess
import tempfile

from common import *
from harness import Case, IMAGE, OUTPUT, read

CHIP_DATA = data(65536, seed=11)
GREEK = "δεδομένα.bin"


def dump(name, size_text, reads, **more):
    expect = dict(prog="chipdump", args=[OUTPUT, size_text], chip=CHIP_DATA, output_before=EARLIER, status=0,
                  stderr=b"", stdout=DUMP_READY + progress(*range(0, reads * STRETCH, STRETCH)),
                  log=READER_OPEN + [PURGE, RESTART] + [READ] * reads + [CLOSE], chip_after=CHIP_DATA)
    expect.update(more)
    return Case(name=name, **expect)


def round_trip(name, image, size_text, reads):
    return dump(name, size_text, reads, chip=None, chip_after=burned(image), image=image,
                before=[("chipburn", [IMAGE])], output=padded(image)[:int(size_text, 16)])


def append_only(on):
    """chattr +a: the file takes appended bytes, and refuses to be emptied."""
    def change(work):
        subprocess.run(["chattr", "+a" if on else "-a", os.path.join(work, OUTPUT)], check=True)
    return change


def chattr_refused():
    """Only a user with the right to make files append-only may (root, most often)."""
    with tempfile.NamedTemporaryFile() as f:
        tried = subprocess.run(["chattr", "+a", f.name], capture_output=True, text=True)
        subprocess.run(["chattr", "-a", f.name], capture_output=True)
    return f"chattr +a is refused here: {tried.stderr.strip()}" if tried.returncode else None


def full_disk(size_text, reads):
    return dump(f"dump: a full disk is never reported as done (size {size_text})", size_text, reads,
                args=["/dev/full", size_text], output=EARLIER, status=1,
                stderr=b"Can't write /dev/full: No space left on device\n" + ERROR)


CASES = [
    dump("dump: the prompt is on screen before the wait and takes one character; nothing sampled before it; "
         "the second sample of each address replaces an earlier dump; later arguments ignored",
         "1801", 4, args=[OUTPUT, "1801", "extra"], output=CHIP_DATA[:0x1801],
         dialogue=[(DUMP_READY, READER_OPEN, b"x")]),
    dump("dump: size 0 receives one block and empties an earlier dump", "0", 1, output=b""),
    round_trip("round trip: 64 KiB", data(65536, seed=22), "10000", 32),
    round_trip("round trip: 5000 bytes at their own size", data(5000, seed=24), "1388", 3),
    dump("dump: a dump named in Greek is written on a Western code page", "800", 1, args=[GREEK, "800"],
         env={"LC_ALL": "C.UTF-8"}, output=EARLIER,
         check=lambda r: None if read(os.path.join(r["work"], GREEK)) == CHIP_DATA[:0x800] else f"{GREEK} is wrong"),
    Case(name="dump: one argument does nothing", prog="chipdump", args=[OUTPUT], status=1, stdout=b"", stderr=b"",
         log=[], output=None),
    Case(name="dump: a bad size is refused before a file is made", prog="chipdump", args=[OUTPUT, "800k"],
         status=1, stdout=b"", log=[], output=None,
         stderr=b"Can't take \"800k\" as the size: give a hexadecimal number below 100000000.\n" + ERROR),
    # `chipdump dump.bin 800 >> dump.bin`: the prompt and progress would be in the dump.
    Case(name="dump: an output that is also standard output is refused, an earlier dump kept", prog="chipdump",
         args=[OUTPUT, "800"], stdout_file=OUTPUT, output_before=EARLIER, status=1, stdout=b"", log=[],
         output=EARLIER, stderr=b"Can't write dump.bin: it is also standard output\n" + ERROR),
    dump("dump: the null device may be both the output and standard output", "800", 1, args=["/dev/null", "800"],
         stdout_file="/dev/null", stdout=b"", output=EARLIER, not_on_windows="no /dev/null"),
    Case(name="dump: an output that cannot be opened is named with the reason", prog="chipdump",
         args=["no/such/dir", "800"], status=1, stdout=b"", log=[],
         stderr=b"Can't open no/such/dir: No such file or directory\n" + ERROR),
    # 2048 bytes fit in the stream's buffer: only the final close meets the full disk.
    full_disk("800", 1),
    full_disk("10000", 3),
    Case(name="dump: an earlier dump that cannot be emptied is never added to", prog="chipdump",
         args=[OUTPUT, "800"], chip=CHIP_DATA, output_before=EARLIER, setup=[append_only(True)], status=1,
         stdout=DUMP_READY, stderr=b"Can't write dump.bin: Operation not permitted\n" + ERROR,
         log=READER_OPEN + [PURGE, RESTART, CLOSE], output=EARLIER,
         # Last, so that the work folder can be removed.
         check=lambda r: append_only(False)(r["work"]), not_on_windows="chattr is Linux's", skip_if=chattr_refused),
    *(Case(name=f"dump: started without {streams}, no message lands in the dump", prog="chipdump",
           args=[OUTPUT, "800"], closed=closed, env={"SIMBOARD_ABSENT": "1"}, output_before=EARLIER, status=1,
           stdout=b"", log=['FT_OpenEx "Zerbanit" 2 -> 2'], output=EARLIER, **elsewhere)
      for streams, closed, elsewhere in (
          ("standard error", [2], {}),
          # Under Wine the closed numbers go to Wine's own connection to its
          # server; under umockdev's preload the first file opened brings the
          # preload's socket, which takes the second one.
          ("standard output and error", [1, 2],
           dict(not_on_windows="Wine puts its own files there", not_over_usb="the USB testbed puts its own there")))),
]
