"""The console texts, driver-call logs and link contents the cases expect."""
import random

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
