"""The board refuses a driver call, or moves less than it was asked. Each
shared step of opening the board is refused once, by one program or the
other; the transfers, by the program that makes them."""
from common import *
from harness import Case, IMAGE, OUTPUT

IMAGE_DATA = data(5000, seed=31)
CHIP_DATA = data(65536, seed=32)
OPEN = 'FT_OpenEx "Zerbanit" 2 -> 0'


def burn(name, env, stdout, stderr, log, wire, status=1):
    return Case(name=name, prog="chipburn", args=[IMAGE], image=IMAGE_DATA, env=env, status=status, stdout=stdout,
                stderr=stderr, log=log, wire=wire, chip_after=wire[::2] + ERASED[len(wire) // 2:])


def dump(name, env, stdout, stderr, log, output=EARLIER):
    return Case(name=name, prog="chipdump", args=[OUTPUT, "1900"], chip=CHIP_DATA, output_before=EARLIER, env=env,
                status=1, stdout=stdout, stderr=stderr, log=log, output=output)


CASES = [
    dump("a refused baud rate closes the board", {"SIMBOARD_FAIL": "FT_SetBaudRate:1=7"}, b"", CANT_SETUP + ERROR,
         [OPEN, "FT_SetBaudRate 9600 -> 7", CLOSE]),
    burn("a refused bit mode closes the board, and no prompt is shown", {"SIMBOARD_FAIL": "FT_SetBitMode:1"}, b"",
         CANT_SETUP + ERROR, [OPEN, "FT_SetBaudRate 1200 -> 0", "FT_SetBitMode 0xff 1 -> 4", CLOSE], b""),
    dump("a refused stop of the input task closes the board", {"SIMBOARD_FAIL": "FT_StopInTask:1"}, b"",
         CANT_SETUP + ERROR, READER_OPEN[:3] + ["FT_StopInTask -> 4", CLOSE]),
    dump("a refused purge: nothing sampled, an earlier dump kept", {"SIMBOARD_FAIL": "FT_Purge:1"}, DUMP_READY,
         ERROR, READER_OPEN + ["FT_Purge 3 -> 4", CLOSE]),
    dump("a refused restart: nothing sampled, an earlier dump kept", {"SIMBOARD_FAIL": "FT_RestartInTask:1"},
         DUMP_READY, ERROR, READER_OPEN + [PURGE, "FT_RestartInTask -> 4", CLOSE]),
    burn("a refused send stops the copy; the block before it stays burned", {"SIMBOARD_FAIL": "FT_Write:2"},
         BURN_ON + fills(0, 0x800), CANT_OUTPUT + ERROR, WRITER_OPEN + [WRITE, "FT_Write 4096 -> 4 0", CLOSE],
         doubled(IMAGE_DATA[:STRETCH])),
    burn("a send that moved 1000 bytes stops the copy", {"SIMBOARD_SHORT": "FT_Write:1=1000"},
         BURN_ON + fills(0), CANT_OUTPUT + ERROR, WRITER_OPEN + ["FT_Write 4096 -> 0 1000", CLOSE],
         doubled(IMAGE_DATA)[:1000]),
    burn("a refused close does not fail a complete burn", {"SIMBOARD_FAIL": "FT_Close:1"},
         BURN_ON + fills(0, 0x800, 0x1000) + BURN_OFF, b"", WRITER_OPEN + [WRITE] * 3 + ["FT_Close -> 4"],
         doubled(padded(IMAGE_DATA)), status=0),
    dump("a receive that moved 1000 bytes stops the dump; an earlier dump kept",
         {"SIMBOARD_SHORT": "FT_Read:1=1000"}, DUMP_READY + progress(0), CANT_INPUT + ERROR,
         READER_OPEN + [PURGE, RESTART, "FT_Read 4096 -> 0 1000", CLOSE]),
]
