"""The console texts, driver-call logs and link contents the cases expect,
and the image pipes that feed the programs."""
import os
import random
import signal
import subprocess
import tempfile
import threading

from harness import TIMEOUT

BURN_ON = b"adjust SW setting, set ROM, push ADDRESS RESET, turn ON the Power, and hit return key!"
BURN_OFF = b"Turn OFF the power, remove ROM, and hit return key!"
DUMP_READY = b"adjust SW setting, set ROM, push ADDRESS RESET, and hit return key!"
ERROR = b"Error.\n"
CANT_INIT = b"Can't initialize USB controller.\n"
CANT_SETUP = b"Can't setup USB controller.\n"
CANT_OUTPUT = b"Can't output to USB controller.\n"
CANT_INPUT = b"Can't input from USB controller.\n"
EARLIER = b"an earlier dump, to be kept"
ERASED = b"\xff" * 65536
STRETCH = 2048  # ROM addresses in a link block

WRITER_OPEN = ['FT_OpenEx "Zerbanit" 2 -> 0', "FT_SetBaudRate 1200 -> 0", "FT_SetBitMode 0xff 1 -> 0",
               "FT_StopInTask -> 0"]
READER_OPEN = ['FT_OpenEx "Zerbanit" 2 -> 0', "FT_SetBaudRate 9600 -> 0", "FT_SetBitMode 0x00 1 -> 0",
               "FT_StopInTask -> 0"]
WRITE, READ, CLOSE = "FT_Write 4096 -> 0 4096", "FT_Read 4096 -> 0 4096", "FT_Close -> 0"
PURGE, RESTART = "FT_Purge 3 -> 0", "FT_RestartInTask -> 0"
PIPE = "image.fifo"
HELD = {}  # work folder: what lets the rest of its piped image through


def not_raised_under_wine(number):
    """Why a case that sends a break signal cannot run under Wine, if it cannot."""
    if number == signal.SIGINT:
        return None
    # Nothing on Linux can deliver the break key's SIGBREAK to a program under
    # Wine, and Wine ends a program on SIGTERM or SIGHUP without raising it there.
    return "Windows has no SIGQUIT" if number == signal.SIGQUIT else "Wine does not raise it in the program"


def data(size, seed=1):
    return random.Random(seed).randbytes(size)


def progress(*addresses):
    return b"".join(b"%4x\r" % a for a in addresses)


def fills(*addresses):
    """The writer shows a block's first address once per byte it takes."""
    return b"".join(progress(a) * STRETCH for a in addresses)


def padded(image):
    """The image as the writer sends it: whole blocks, 0xFF after its end."""
    return image + b"\xff" * (-len(image) % STRETCH)


def doubled(image):
    """What goes over the link: every byte twice."""
    return bytes(b for byte in image for b in (byte, byte))


def burned(image):
    """An erased chip after the image went in."""
    return padded(image) + ERASED[len(padded(image)):]


def piped(image, first, held=False):
    """A setup: the image written into the FIFO PIPE, its first bytes, then
    the rest, at once or once HELD.pop(work).set() lets it through."""
    def setup(work):
        os.mkfifo(os.path.join(work, PIPE))
        rest = threading.Event()
        if held:
            HELD[work] = rest
        else:
            rest.set()

        def feed():
            try:
                with open(os.path.join(work, PIPE), "wb") as f:
                    f.write(image[:first])
                    f.flush()
                    rest.wait(TIMEOUT)
                    f.write(image[first:])
            except BrokenPipeError:  # the program stopped before it took the rest
                pass
        threading.Thread(target=feed, daemon=True).start()
    return setup


def refused(command, undo):
    """What only a user with the right to it may do (root, most often): tried
    on a scratch folder, then undone."""
    def probe():
        with tempfile.TemporaryDirectory() as folder:
            tried = subprocess.run(command(folder), capture_output=True, text=True)
            if tried.returncode == 0:
                subprocess.run(undo(folder), check=True)
        reason = (tried.stderr.strip().splitlines() or ["no reason given"])[0]
        return f"{' '.join(command('DIR'))} is refused here: {reason}" if tried.returncode else None
    return probe


# A small disk of its own: a fresh tmpfs that fills up at 64 KiB.
SMALL_DISK = ["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs"]
mount_refused = refused(lambda folder: SMALL_DISK + [folder], lambda folder: ["umount", folder])
