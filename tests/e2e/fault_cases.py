"""Every driver call each program makes, refused and, for transfers, cut
short, at its first use and at its last. A small model of the programs and
the board works out what each fault must leave behind: the console, the
status, the call log, the link bytes, the chip, the output file. Calls made
once per run have no later use to fail."""
from common import *
from harness import Case, ERASED_CHIP, IMAGE, OUTPUT, program_chip

IMAGE_DATA = data(5000, seed=31)  # three blocks, the last one filled up
CHIP_DATA = data(65536, seed=32)
SIZE = 0x1900  # four blocks, the last one 256 addresses long
SETUP = ["FT_OpenEx", "FT_SetBaudRate", "FT_SetBitMode", "FT_StopInTask"]
CALLS = {"chipburn": SETUP + ["FT_Write", "FT_Close"],
         "chipdump": SETUP + ["FT_Purge", "FT_RestartInTask", "FT_Read", "FT_Close"]}
STATUS = {"FT_SetBaudRate": 7}  # what a driver says to a rate it cannot make; 4 elsewhere
SHORT = {1: 1000, "last": 0}  # bytes moved by a short first and a short last transfer


def uses(prog, call):
    blocks = -(-len(IMAGE_DATA) // STRETCH) if prog == "chipburn" else -(-SIZE // STRETCH)
    return blocks if call in ("FT_Write", "FT_Read") else 1


def burn_model(call, use, moved):
    """`moved` is what the faulty transfer moved, None for a refusal."""
    blocks = uses("chipburn", "FT_Write")
    sent, log = b"", list(WRITER_OPEN)
    for n in range(1, blocks + 1):
        block = link_bytes(IMAGE_DATA)[(n - 1) * BLOCK:n * BLOCK]
        got = len(block) if n != use or call != "FT_Write" else moved or 0
        status = STATUS.get(call, 4) if n == use and call == "FT_Write" and moved is None else 0
        log.append(f"FT_Write {BLOCK} -> {status} {got}")
        sent += block[:got]  # the board's counter moves on by what arrived, nothing more
    failed = call == "FT_Write"
    return dict(stdout=BURN_ON + fills(0, 0x800, 0x1000) + BURN_OFF, stderr=CANT_OUTPUT + ERROR if failed else b"",
                status=1 if failed else 0, log=log + [close_line(call)], wire=sent,
                chip_after=program_chip(ERASED_CHIP, sent))


def dump_model(call, use, moved):
    blocks = uses("chipdump", "FT_Read")
    block, address, output, log = bytearray(BLOCK), 0, b"", READER_OPEN + [PURGE, RESTART]
    for n in range(1, blocks + 1):
        got = BLOCK if n != use or call != "FT_Read" else moved or 0
        status = STATUS.get(call, 4) if n == use and call == "FT_Read" and moved is None else 0
        log.append(f"FT_Read {BLOCK} -> {status} {got}")
        # Samples come in pairs, the settled one second; what did not come
        # leaves the block as the last receive left it.
        for k in range(got // 2):
            block[2 * k + 1] = CHIP_DATA[(address + k) % len(CHIP_DATA)]
        address += got // 2
        output += bytes(block[1::2])[:min(STRETCH, SIZE - (n - 1) * STRETCH)]
    failed = call == "FT_Read"
    return dict(stdout=DUMP_READY + progress(*range(0, SIZE, STRETCH)), stderr=CANT_INPUT + ERROR if failed else b"",
                status=1 if failed else 0, log=log + [close_line(call)], output=output)


def close_line(call):
    # The copy is done by then: a refused close is the driver's business.
    return f"FT_Close -> {STATUS.get(call, 4)}" if call == "FT_Close" else CLOSE


def refused_before_copy(prog, call):
    step = SETUP.index(call) if call in SETUP else None
    status = STATUS.get(call, 4)
    if step is not None:
        log = opening(1200 if prog == "chipburn" else 9600, 0xFF if prog == "chipburn" else 0x00, step, status)
        stderr, stdout = (CANT_INIT if step == 0 else CANT_SETUP) + ERROR, b""
    else:  # purge or restart, after the prompt: nothing sampled, the earlier dump gone all the same
        steps = [f"FT_Purge 3 -> {status}"] if call == "FT_Purge" else [PURGE, f"FT_RestartInTask -> {status}"]
        log, stderr, stdout = READER_OPEN + steps + [CLOSE], ERROR, DUMP_READY
    if prog == "chipburn":
        return dict(status=1, stdout=stdout, stderr=stderr, log=log, wire=b"", chip_after=ERASED_CHIP)
    return dict(status=1, stdout=stdout, stderr=stderr, log=log, output=b"")


def matrix():
    for prog, calls in CALLS.items():
        for call, when, moved in ((c, w, m) for c in calls for w in (1, "last") for m in (None, SHORT[w])):
            use = uses(prog, call) if when == "last" else 1
            if when == "last" and use == 1 or moved is not None and call not in ("FT_Write", "FT_Read"):
                continue
            if moved is None:
                env, what = {"SIMBOARD_FAIL": f"{call}:{use}={STATUS.get(call, 4)}"}, "refused"
            else:
                env, what = {"SIMBOARD_SHORT": f"{call}:{use}={moved}"}, f"moves {moved} bytes"
            if call in SETUP or call in ("FT_Purge", "FT_RestartInTask"):
                expect = refused_before_copy(prog, call)
            else:
                expect = (burn_model if prog == "chipburn" else dump_model)(call, use, moved)
            if prog == "chipburn":
                expect.update(args=[IMAGE], image=IMAGE_DATA, chip=ERASED_CHIP)
            else:
                expect.update(args=[OUTPUT, f"{SIZE:x}"], chip=CHIP_DATA, chip_after=CHIP_DATA,
                              output_before=b"an earlier dump")
            yield Case(name=f"fault: {prog} {call} {what} at use {use} of {uses(prog, call)}", prog=prog, env=env,
                       d2xx_only="the D2XX front's knobs make driver calls fail", **expect)


CASES = list(matrix())
