import os
import signal
import subprocess
import tempfile
import threading

from common import *
from harness import BROKEN, STALLED, TIMEOUT, Case, IMAGE, read

IMAGE_DATA = data(5000)  # three blocks, the last one filled up
SIGNALLED = data(8 * STRETCH, seed=7)
ALL_FILLS = range(0, 9 * STRETCH, STRETCH)


def whole_burn(name, **more):
    expect = dict(prog="chipburn", args=[IMAGE], image=IMAGE_DATA, status=0, stderr=b"",
                  stdout=BURN_ON + fills(0, 0x800, 0x1000) + BURN_OFF, log=WRITER_OPEN + [WRITE] * 3 + [CLOSE],
                  wire=doubled(padded(IMAGE_DATA)), chip_after=burned(IMAGE_DATA))
    expect.update(more)
    return Case(name=name, **expect)


def small_burn(name, image, fill_addresses, sent, **more):
    return Case(name=name, prog="chipburn", args=[IMAGE], image=image, status=0, stderr=b"",
                stdout=BURN_ON + fills(*fill_addresses) + BURN_OFF, log=WRITER_OPEN + [WRITE] * sent + [CLOSE],
                wire=doubled(padded(image)) if sent else b"", chip_after=burned(image) if sent else ERASED, **more)


def stopped_after_block_under_way(result):
    """The signal came while the second block went out: that block and
    perhaps a few more (the harness may be slow) are burned, never all."""
    sent = len(result["wire"]) // (2 * STRETCH)
    if not 2 <= sent < 8:
        return f"{sent} blocks sent: the break should stop the copy after the block under way"
    if result["wire"] != doubled(SIGNALLED[:sent * STRETCH]) or result["chip_after"] != burned(SIGNALLED[:sent * STRETCH]):
        return "what went out is not the image's first blocks, each byte twice"
    if result["stdout"] != BURN_ON + fills(*range(0, sent * STRETCH, STRETCH)):
        return "want one fill per block sent and no power-off prompt"
    return None


def stopped_after_whole_blocks(result):
    """Whatever went out before the break is the image's first blocks, whole."""
    sent = len(result["wire"]) // (2 * STRETCH)
    if not 1 <= sent < len(SIGNALLED) // STRETCH or len(result["wire"]) != sent * 2 * STRETCH:
        return f"{len(result['wire'])} bytes sent: want some whole blocks, not all"
    if result["wire"] != doubled(SIGNALLED[:sent * STRETCH]):
        return "what went out is not the image's first blocks, each byte twice"
    return None


def image_unchanged(result):
    return None if read(os.path.join(result["work"], IMAGE)) == IMAGE_DATA else "the image was changed"


def shrunk(name, image, length, dialogue, **more):
    """The image is cut to `length` bytes where the dialogue says: what it
    still holds goes out, the last block filled up, and the burn fails."""
    left = padded(image[:length])
    return Case(name=name, prog="chipburn", args=[IMAGE], image=image, dialogue=dialogue, status=1,
                stdout=BURN_ON + fills(*range(0, len(left), STRETCH)), log=WRITER_OPEN + [WRITE] * (len(left) // STRETCH)
                + [CLOSE], stderr=b"Can't burn image.bin: it got shorter while it was burned\n" + ERROR,
                wire=doubled(left), chip_after=burned(left), **more)


def cut_to(length):
    return lambda work: os.truncate(os.path.join(work, IMAGE), length)


def on_wire(blocks):
    return lambda work: len(read(os.path.join(work, "wire.bin")) or b"") >= blocks * 2 * STRETCH


CASES = [
    whole_burn("burn: prompts on screen before each wait, nothing sent before the first Return, "
               "three blocks doubled and filled up with 0xFF, later arguments ignored",
               args=[IMAGE, "extra", "more"],
               dialogue=[(BURN_ON, WRITER_OPEN, b"\n"),
                         (BURN_ON + fills(0, 0x800, 0x1000) + BURN_OFF, WRITER_OPEN + [WRITE] * 3, b"\n")]),
    small_burn("burn: one whole block shows 0 then 800 and sends one block", data(STRETCH, seed=2), (0, 0x800), 1),
    small_burn("burn: end of input answers both prompts", data(100), (0,), 1, stdin=b""),
    Case(name="burn: an empty image is refused before the board is touched", prog="chipburn", args=[IMAGE], image=b"",
         status=1, stdout=b"", stderr=b"Can't burn image.bin: it is empty\n" + ERROR, log=[]),
    # `chipburn <(xz -dc missing.bin.xz)`: a pipe is empty only once it ends.
    Case(name="burn: an empty image on a pipe is refused once it ends, and nothing is sent", prog="chipburn",
         args=[PIPE], setup=[piped(b"", 0)], status=1, stdout=BURN_ON + fills(0),
         stderr=b"Can't burn image.fifo: it is empty\n" + ERROR, log=WRITER_OPEN + [CLOSE], wire=b"",
         not_on_windows="no FIFOs"),
    small_burn("burn: characters typed before Return at the first prompt answer the second", data(100), (0,), 1,
               dialogue=[(BURN_ON, WRITER_OPEN, b"x\n")]),
    Case(name="burn: Ctrl+C at the power-on prompt ends the program at once", prog="chipburn", args=[IMAGE],
         image=data(100), status=-signal.SIGINT, stderr=b"", stdout=BURN_ON,
         dialogue=[(BURN_ON, WRITER_OPEN, signal.SIGINT)], log=WRITER_OPEN,
         not_on_windows="Wine gives a program that Ctrl+C ended status 0"),
    Case(name="burn: Ctrl+C at the power-off prompt ends the program at once", prog="chipburn", args=[IMAGE],
         image=data(100), status=-signal.SIGINT, stderr=b"", stdout=BURN_ON + fills(0) + BURN_OFF,
         dialogue=[(BURN_ON, WRITER_OPEN, b"\n"), (BURN_ON + fills(0) + BURN_OFF, WRITER_OPEN + [WRITE], signal.SIGINT)],
         log=WRITER_OPEN + [WRITE], not_on_windows="Wine gives a program that Ctrl+C ended status 0"),
    # nohup, or a shell's trap '' INT: the program must not take the signal back.
    # The fill after the last whole block meets the image's end.
    small_burn("burn: Ctrl+C ignored when the program started stays ignored, in the copy and after it",
               SIGNALLED, ALL_FILLS, 8, env={"SIMBOARD_REALTIME": "1"}, ignored=[signal.SIGINT],
               dialogue=[(BURN_ON, WRITER_OPEN, b"\n"), (BURN_ON + fills(0, 0x800), None, signal.SIGINT),
                         (BURN_ON + fills(*ALL_FILLS) + BURN_OFF, WRITER_OPEN + [WRITE] * 8, signal.SIGINT),
                         (BURN_ON + fills(*ALL_FILLS) + BURN_OFF, None, b"\n")],
               not_on_windows="Wine does not hand an ignored signal on to the program"),
    Case(name="burn: no argument does nothing", prog="chipburn", args=[], status=1, stdout=b"", stderr=b"", log=[]),
    whole_burn("burn: an argument that only starts with an option's name is an image: --help.bin is burned",
               args=["--help.bin"], image=None,
               setup=[lambda work: open(os.path.join(work, "--help.bin"), "wb").write(IMAGE_DATA)]),
    Case(name="burn: a missing image is named with the reason, the board left alone", prog="chipburn", args=[IMAGE],
         status=1, stdout=b"", stderr=b"Can't open image.bin: No such file or directory\n" + ERROR, log=[]),
    Case(name="burn: a directory as the image is refused before the board is touched", prog="chipburn",
         args=[IMAGE], setup=[lambda work: os.mkdir(os.path.join(work, IMAGE))], status=1, stdout=b"",
         stderr=b"Can't read image.bin: Is a directory\n" + ERROR, log=[]),
    Case(name="burn: a symbolic link to a directory as the image is refused before the board is touched",
         prog="chipburn", args=[IMAGE], status=1, stdout=b"", stderr=b"Can't read image.bin: Is a directory\n" + ERROR,
         log=[], setup=[lambda work: os.mkdir(os.path.join(work, "folder")),
                        lambda work: os.symlink("folder", os.path.join(work, IMAGE))]),
    # `cat image.bin | chipburn /dev/stdin`: the first prompt would take a
    # buffer of the image, and the chip get the rest at address 0.
    Case(name="burn: an image that is also standard input is refused before the board is touched",
         prog="chipburn", args=["/dev/stdin"], stdin=IMAGE_DATA, status=1, stdout=b"", log=[],
         stderr=b"Can't read /dev/stdin: it is also standard input\n" + ERROR, not_on_windows="no /dev/stdin"),
    # `chipburn image.bin >> image.bin` would burn its own progress line for ever.
    Case(name="burn: an image that is also standard output is refused and left as it was", prog="chipburn",
         args=[IMAGE], image=IMAGE_DATA, stdout_file=IMAGE, status=1, stdout=b"", log=[], check=image_unchanged,
         stderr=b"Can't read image.bin: it is also standard output\n" + ERROR),
    # Address 0 of a process is never mapped: the file opens, says it is
    # empty, and its first read fails.
    Case(name="burn: an image whose first read fails is refused before the board is touched", prog="chipburn",
         args=["/proc/self/mem"], status=1, stdout=b"", stderr=b"Can't read /proc/self/mem: Input/output error\n"
         + ERROR, log=[], not_on_windows="no /proc/self/mem"),
    # Linux makes such files up as they are read: they say they are empty.
    Case(name="burn: a file that says it is empty and holds more is burned", prog="chipburn",
         args=["/proc/self/stat"], status=0, stderr=b"", stdout=BURN_ON + fills(0) + BURN_OFF,
         log=WRITER_OPEN + [WRITE, CLOSE], not_on_windows="no /proc"),
    # While the program waits for the image, the block it fills must show.
    whole_burn("burn: an image read from a pipe, and the progress line on screen while it waits for more",
               args=[PIPE], image=None, setup=[piped(IMAGE_DATA, 1000, held=True)],
               dialogue=[(BURN_ON, WRITER_OPEN, b"\n"),
                         (BURN_ON + fills(0), WRITER_OPEN, lambda work: HELD.pop(work).set()),
                         (BURN_ON + fills(0, 0x800, 0x1000) + BURN_OFF, WRITER_OPEN + [WRITE] * 3, b"\n")],
               not_on_windows="no FIFOs"),
    # The break comes while the writer waits for the rest of the first block.
    Case(name="burn: Ctrl+C while the image pipe has stalled stops the copy; nothing of the block is sent",
         prog="chipburn", args=[PIPE], setup=[piped(IMAGE_DATA, 1000, held=True)], status=1,
         stdout=BURN_ON + fills(0), stderr=ERROR, log=WRITER_OPEN + [CLOSE], wire=b"", chip_after=ERASED,
         dialogue=[(BURN_ON, WRITER_OPEN, b"\n"), (BURN_ON + fills(0), WRITER_OPEN, signal.SIGINT)],
         check=lambda result: HELD.pop(result["work"]).set(), not_on_windows="no FIFOs"),
    # The pipe's buffer holds a few blocks' progress lines; then the write blocks.
    Case(name="burn: Ctrl+C while standard output has stalled stops the copy after whole blocks",
         prog="chipburn", args=[IMAGE], image=SIGNALLED, stdout=STALLED, interrupt=(on_wire(1), signal.SIGINT),
         status=1, stderr=ERROR, check=stopped_after_whole_blocks,
         not_on_windows="a Windows console's break handler runs beside a blocked write, which goes on waiting"),
    shrunk("burn: an image cut short while the operator fits the chip fails after its last block", IMAGE_DATA, 3000,
           [(BURN_ON, WRITER_OPEN, cut_to(3000)), (BURN_ON, WRITER_OPEN, b"\n")]),
    # Cut while the second block goes out; the image is read a page ahead.
    shrunk("burn: an image cut short during the burn fails after the block under way", SIGNALLED, 10000,
           [(BURN_ON, WRITER_OPEN, b"\n"), (BURN_ON + fills(0, 0x800), None, cut_to(10000))],
           env={"SIMBOARD_REALTIME": "1"}),
    whole_burn("burn: started without standard input, the image never answers a prompt", closed=[0]),
    whole_burn("burn: a reader of standard output that went away neither kills nor stops the copy",
               stdout=BROKEN, not_on_windows="no SIGPIPE"),
    *(Case(name=f"burn: {signal.Signals(number).name} during the copy stops it after the block under way",
           prog="chipburn", args=[IMAGE], image=SIGNALLED, env={"SIMBOARD_REALTIME": "1"},
           interrupt=(BURN_ON + fills(0, 0x800), number), status=1, stderr=ERROR, check=stopped_after_block_under_way,
           not_on_windows=not_raised_under_wine(number))
      for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT)),
]

CYRILLIC = "образ.bin"
CASES += [
    # Under Wine the names come in as UTF-8 and the ANSI code page is
    # Western (1252), where a narrow argument turns them into question marks.
    whole_burn("burn: an image named in Cyrillic opens on a Western code page", args=[CYRILLIC], image=None,
               env={"LC_ALL": "C.UTF-8"},
               setup=[lambda work: open(os.path.join(work, CYRILLIC), "wb").write(IMAGE_DATA)]),
    Case(name="burn: a missing image named in Cyrillic is named as given", prog="chipburn", args=[CYRILLIC],
         env={"LC_ALL": "C.UTF-8"}, status=1, stdout=b"", log=[],
         stderr=f"Can't open {CYRILLIC}: No such file or directory\n".encode() + ERROR),
]

# Two small disks, a/ and b/, each a fresh tmpfs.
DISKS = ("a", "b")


def first_inodes_differ():
    """Why two fresh tmpfs cannot be given files of the same inode number
    here: mount refused, or a kernel that numbers inodes across mounts."""
    reason = mount_refused()
    if reason:
        return reason
    with tempfile.TemporaryDirectory() as folder:
        inodes = []
        for disk in DISKS:
            path = os.path.join(folder, disk)
            os.mkdir(path)
            subprocess.run(SMALL_DISK + [path], check=True)
            open(os.path.join(path, "first"), "wb").close()
            inodes.append(os.stat(os.path.join(path, "first")).st_ino)
            subprocess.run(["umount", path], check=True)
    return None if inodes[0] == inodes[1] else f"two fresh tmpfs number their first files apart: {inodes}"


def image_and_log_on_two_disks(work):
    """a/image.bin and b/progress.log, each the first file on its disk."""
    for disk, name, content in (("a", IMAGE, IMAGE_DATA), ("b", "progress.log", b"")):
        os.mkdir(os.path.join(work, disk))
        subprocess.run(SMALL_DISK + [os.path.join(work, disk)], check=True)
        with open(os.path.join(work, disk, name), "wb") as f:
            f.write(content)


def logged_on_the_other_disk(result):
    at = lambda name: os.path.join(result["work"], name)
    try:
        if os.stat(at("a/" + IMAGE)).st_ino != os.stat(at("b/progress.log")).st_ino:
            return "the image and the log do not share an inode number: nothing was shown"
        if read(at("b/progress.log")) != BURN_ON + fills(0, 0x800, 0x1000) + BURN_OFF:
            return "b/progress.log does not hold the prompts and the progress line"
        return None
    finally:
        for disk in DISKS:
            subprocess.run(["umount", at(disk)], check=True)


ZEROS = 0x100000800  # head -c 4294969344 /dev/zero: a block past FFFFFFFF bytes


def streamed_zeros(length):
    """A setup: `length` zero bytes written into the FIFO PIPE as fast as they are taken."""
    def setup(work):
        os.mkfifo(os.path.join(work, PIPE))

        def feed():
            chunk = bytes(1 << 20)
            try:
                with open(os.path.join(work, PIPE), "wb") as f:
                    for _ in range(length // len(chunk)):
                        f.write(chunk)
                    f.write(chunk[:length % len(chunk)])
            except BrokenPipeError:  # the program stopped before it took the rest
                pass
        threading.Thread(target=feed, daemon=True).start()
    return setup


def sent_below_ffffffff(result):
    """Every block whose stretch ends below FFFFFFFF went out, whole, and not
    the one that holds the image's byte past it."""
    writes = [line for line in result["log"] if line.startswith("FT_Write")]
    if len(writes) != 0xFFFFF800 // STRETCH or set(writes) != {WRITE}:
        return f"{len(writes)} blocks sent, want {0xFFFFF800 // STRETCH:#x} of 4096 bytes"
    return None


CASES += [
    # chipburn a/image.bin >> b/progress.log: a file is one by its disk and its number.
    whole_burn("burn: an image and the progress log on two disks where they share an inode number is burned",
               args=["a/" + IMAGE], image=None, setup=[image_and_log_on_two_disks], stdout_file="b/progress.log",
               stdout=b"", check=logged_on_the_other_disk, skip_if=first_inodes_differ,
               not_on_windows="two tmpfs mounts are Linux's"),
    # chipburn <(head -c 4294969344 /dev/zero): the length shows only as it is
    # read. The progress line, some 30 GiB of it, and the 8 GiB on the link
    # go nowhere. Two minutes on the simulated board without pacing.
    Case(name="burn: a streamed image past FFFFFFFF bytes stops before the block that would wrap the counter",
         prog="chipburn", args=[PIPE], setup=[streamed_zeros(ZEROS)], env={"SIMBOARD_WIRE": ""},
         stdout_file="/dev/null", status=1, stderr=b"Can't burn image.fifo: it is longer than FFFFFFFF bytes\n" + ERROR,
         check=sent_below_ffffffff, long_run=10 * TIMEOUT, not_on_windows="no FIFOs",
         not_over_usb="the USB board drives its pins in real time: 8 GiB would take days"),
]
