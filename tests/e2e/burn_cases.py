import os
import re
import signal

from common import *
from harness import Case, IMAGE


def burn(name, image, **more):
    """A complete run: both prompts answered, every block sent."""
    blocks = -(-len(image) // STRETCH)
    expect = dict(prog="chipburn", args=[IMAGE], image=image, status=0, stderr=b"",
                  stdout=BURN_ON + fills(*range(0, (len(image) // STRETCH + 1) * STRETCH, STRETCH)) + BURN_OFF,
                  log=WRITER_OPEN + [WRITE] * blocks + [CLOSE], wire=link_bytes(image), chip_after=burned(image))
    expect.update(more)
    return Case(name=name, **expect)


def refused(name, env, stderr, log, **more):
    return Case(name=name, prog="chipburn", args=[IMAGE], image=data(5000), env=env, status=1, stdout=b"",
                stderr=stderr + ERROR, log=log, wire=b"", **more)


def check_read_error(result):
    # A directory opens for reading on Linux and then fails every read;
    # Windows refuses to open it at all.
    if result["windows"]:
        return None if result["log"] == [] else "device touched after the image failed to open"
    if result["front"] != "usb" and result["log"] != WRITER_OPEN + [CLOSE]:
        return "want the device opened, nothing sent, then closed"
    if result["stdout"] != BURN_ON + fills(0):
        return "want one fill and no power-off prompt"
    return None


def check_interrupted(result):
    writes = writes_made(result)
    if not 1 <= writes < 8:
        return f"{writes} blocks sent: the break should stop the copy after the block under way"
    if result["wire"] != link_bytes(INTERRUPTED)[: writes * BLOCK]:
        return "what went out is not the image's first blocks"
    if not closed_last(result) or BURN_OFF in result["stdout"]:
        return "want the device closed and no power-off prompt"
    if not result["stdout"].startswith(BURN_ON + fills(0)):
        return "the copy did not start as it should"
    return None


INTERRUPTED = data(8 * STRETCH, seed=7)

CASES = [
    burn("burn: one block shows 0 then 800", data(STRETCH)),
    burn("burn: empty image sends nothing", b"", stdout=BURN_ON + fills(0) + BURN_OFF),
    burn("burn: 2047 bytes go out as one block with an erased last byte", data(STRETCH - 1)),
    burn("burn: 5000 bytes send three blocks", data(5000),
         stdout=BURN_ON + fills(0, 0x800, 0x1000) + BURN_OFF),
    burn("burn: 64 KiB fill a 64 KiB chip", data(65536, seed=9)),
    burn("burn: a programmed chip only loses bits", data(STRETCH, seed=5), chip=data(65536, seed=6),
         chip_after=burned(data(STRETCH, seed=5), data(65536, seed=6))),
    burn("burn: a chip smaller than the image wraps around", data(3 * STRETCH, seed=2), chip=b"\xff" * 4096,
         chip_after=burned(data(3 * STRETCH, seed=2), b"\xff" * 4096)),
    burn("burn: each prompt takes one character, typed ahead", data(100), stdin=b"ab", stdin_stays_open=True),
    burn("burn: a line typed at the first prompt answers the second", data(100), stdin=b"x\n",
         stdin_stays_open=True),
    burn("burn: end of input answers both prompts", data(100), stdin=b""),
    burn("burn: arguments after the image are ignored", data(100), args=[IMAGE, "extra", "more"]),
    Case(name="burn: no argument does nothing", prog="chipburn", args=[], status=1, stdout=b"", stderr=b"",
         log=[], output=None),
    Case(name="burn: a missing image is named and the device left alone", prog="chipburn", args=[IMAGE],
         status=1, stdout=b"", stderr=re.compile(rb"Can't open image\.bin: [^\n]+\nError\.\n"), log=[]),
    Case(name="burn: a read error on the image stops the copy", prog="chipburn", args=[IMAGE], status=1,
         setup=[lambda work: os.mkdir(os.path.join(work, IMAGE))],
         stderr=re.compile(rb"Can't (read|open) image\.bin: [^\n]+\nError\.\n"), wire=b"",
         check=check_read_error),
    refused("burn: no board", {"SIMBOARD_ABSENT": "1"}, CANT_INIT, opening(1200, 0xFF, 0, 2)),
    # On Windows the break key's SIGBREAK is caught too, but nothing on
    # Linux can deliver it to a program under Wine, and Wine ends a program
    # on SIGTERM without raising it there (nor does Windows ever raise it).
    *(Case(name=f"burn: {signal.Signals(number).name} during the copy closes everything", prog="chipburn",
           args=[IMAGE], image=INTERRUPTED, env={"SIMBOARD_REALTIME": "1"}, interrupt_after="FT_Write",
           signal=number, status=1, stderr=ERROR, check=check_interrupted,
           not_on_windows=None if number == signal.SIGINT else "Wine ends the program on SIGTERM")
      for number in (signal.SIGINT, signal.SIGTERM)),
]
