"""The console texts, driver-call logs and link contents the cases expect."""
import random

from harness import ERASED_CHIP, program_chip

BURN_ON = b"adjust SW setting, set ROM, push ADDRESS RESET, turn ON the Power, and hit return key!"
BURN_OFF = b"Turn OFF the power, remove ROM, and hit return key!"
DUMP_READY = b"adjust SW setting, set ROM, push ADDRESS RESET, and hit return key!"
ERROR = b"Error.\n"
CANT_INIT = b"Can't initialize USB controller.\n"
CANT_SETUP = b"Can't setup USB controller.\n"
CANT_OUTPUT = b"Can't output to USB controller.\n"
CANT_INPUT = b"Can't input from USB controller.\n"

BLOCK = 4096
STRETCH = 2048


def data(size, seed=1):
    return random.Random(seed).randbytes(size)


def progress(*addresses):
    return b"".join(b"%4x\r" % a for a in addresses)


def fills(*addresses):
    """The writer shows a block's first address once per byte it takes."""
    return b"".join(progress(a) * STRETCH for a in addresses)


def opening(baud, mask, fail_at=None, status=4):
    """initUSB's calls; with fail_at, the step that fails and the close after it."""
    steps = ['FT_OpenEx "Zerbanit" 2', f"FT_SetBaudRate {baud}", f"FT_SetBitMode 0x{mask:02x} 1", "FT_StopInTask"]
    if fail_at is None:
        return [s + " -> 0" for s in steps]
    lines = [s + " -> 0" for s in steps[:fail_at]] + [f"{steps[fail_at]} -> {status}"]
    return lines + (["FT_Close -> 0"] if fail_at > 0 else [])


WRITER_OPEN = opening(1200, 0xFF)
READER_OPEN = opening(9600, 0x00)
WRITE = "FT_Write 4096 -> 0 4096"
READ = "FT_Read 4096 -> 0 4096"
CLOSE = "FT_Close -> 0"
PURGE, RESTART = "FT_Purge 3 -> 0", "FT_RestartInTask -> 0"


def padded(image):
    """The image as the writer sends it: whole blocks, erased bytes at the end."""
    return image + b"\xff" * (-len(image) % STRETCH)


def link_bytes(image):
    return bytes(b for byte in padded(image) for b in (byte, byte))


def burned(image, chip=ERASED_CHIP):
    return program_chip(chip, link_bytes(image))


def writes_made(result):
    """Blocks handed to the driver: FT_Write calls, or bulk OUT transfers over USB."""
    if result["front"] == "usb":
        return sum(1 for line in result["usb_log"] if line.startswith("bulk out"))
    return sum(1 for line in result["log"] if line.startswith("FT_Write"))


def closed_last(result):
    """The driver's last call closed the device (over USB there is no call log)."""
    return result["front"] == "usb" or result["log"][-1:] == [CLOSE]
