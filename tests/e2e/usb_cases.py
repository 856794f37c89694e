"""What only the libftdi build meets: the divisor the chip is sent, another
FTDI device in the way, a board that stops sending, and the faults of a USB
board: unplugged, a stalled endpoint, a refused request."""
from common import *
from harness import Case, IMAGE, OUTPUT

CHIP_DATA = data(65536, seed=51)
IMAGE_DATA = data(5000, seed=52)
OPENED = ["control 80 06 0300 0000 4 -> 4 string 0", "control 80 06 0302 0409 255 -> 18 string 2",
          "claim interface 0 -> 0"]


def baud_requests(*expected):
    """The chip's baud-rate requests (bRequest 03), in order: at open libftdi
    sets 9600 itself, then the program sets its own rate."""
    def check(result):
        sent = [line for line in result["usb_log"] if line.startswith("control 40 03 ")]
        return None if sent == list(expected) else f"baud requests {sent}, want {list(expected)}"
    return check


def within_silence_limit(result):
    # The module gives up after 5 s without a sample, not before.
    return None if 5 <= result["seconds"] < 10 else f"ended after {result['seconds']:.1f} s"


def within_2s_saw(*lines):
    """A fault ends the run at once; the chip's log shows how it came."""
    def check(result):
        missing = [line for line in lines if line not in result["usb_log"]]
        if result["seconds"] >= 2:
            return f"ended after {result['seconds']:.1f} s"
        return f"the USB log lacks {missing}" if missing else None
    return check


def burn_fault(name, env, sent, line):
    """The burn stops at the block that met the fault; `sent` link bytes reached the pins."""
    wire = doubled(padded(IMAGE_DATA))[:sent]
    return Case(name=name, usb_only=True, prog="chipburn", args=[IMAGE], image=IMAGE_DATA, env=env, status=1,
                stdout=BURN_ON + fills(0, 0x800), stderr=CANT_OUTPUT + ERROR, wire=wire,
                chip_after=wire[::2] + ERASED[sent // 2:], check=within_2s_saw(line))


def dump_fault(name, env, stdout, stderr, output, check, **more):
    return Case(name=name, usb_only=True, prog="chipdump", args=[OUTPUT, "1900"], chip=CHIP_DATA,
                output_before=EARLIER, env=env, status=1, stdout=stdout, stderr=stderr, output=output, check=check,
                **more)


CASES = [
    Case(name="usb: chipburn's chip is sent the divisor for 1200 baud", usb_only=True, prog="chipburn",
         args=[IMAGE], image=data(100), status=0, stderr=b"", stdout=BURN_ON + fills(0) + BURN_OFF,
         wire=doubled(padded(data(100))),
         check=baud_requests("control 40 03 4138 0000 0 -> 0 baud 9600", "control 40 03 09c4 0000 0 -> 0 baud 1200")),
    Case(name="usb: chipdump's chip is sent the divisor for 9600 baud", usb_only=True, prog="chipdump",
         args=[OUTPUT, "800"], chip=CHIP_DATA, status=0, stderr=b"", stdout=DUMP_READY + progress(0),
         output=CHIP_DATA[:0x800],
         check=baud_requests("control 40 03 4138 0000 0 -> 0 baud 9600", "control 40 03 4138 0000 0 -> 0 baud 9600")),
    Case(name="usb: a device that cannot be opened, listed first, does not hide the board", usb_only=True,
         prog="chipdump", args=[OUTPUT, "800"], chip=CHIP_DATA, env={"SIMBOARD_LOCKED": "1"}, status=0,
         stderr=b"", stdout=DUMP_READY + progress(0), output=CHIP_DATA[:0x800]),
    Case(name="usb: a board that goes silent during a dump ends it after 5 s", usb_only=True, prog="chipdump",
         args=[OUTPUT, "800"], chip=CHIP_DATA, env={"SIMBOARD_SILENT": "1000"}, status=1, output_before=EARLIER,
         output=EARLIER, stdout=DUMP_READY + progress(0), stderr=CANT_INPUT + ERROR, check=within_silence_limit),
    burn_fault("usb: unplugged during a burn, the copy stops; the bytes the pins drove stay burned",
               {"SIMBOARD_UNPLUG_OUT": "5000"}, 5000, "release interface 0 -> no device"),
    burn_fault("usb: a stalled endpoint stops the burn; what the chip took goes out",
               {"SIMBOARD_STALL_OUT": "5000"}, 5000, "bulk out 4096 -> 904 stall"),
    # A transfer carries 3968 samples: the one that ends the first block is
    # done by sample 8064, and the second block needs 8192.
    dump_fault("usb: unplugged during a dump, an earlier dump kept", {"SIMBOARD_UNPLUG_IN": "8150"},
               DUMP_READY + progress(0, 0x800), CANT_INPUT + ERROR, EARLIER,
               within_2s_saw("release interface 0 -> no device")),
    dump_fault("usb: a refused reset at open: no prompt, an earlier dump kept", {"SIMBOARD_REFUSE": "00:0"}, b"",
               CANT_INIT + ERROR, EARLIER, within_2s_saw(),
               usb_log=OPENED + ["control 40 00 0000 0001 0 -> stall refused"]),
    dump_fault("usb: a refused purge: nothing sampled, an earlier dump kept", {"SIMBOARD_REFUSE": "00:1"},
               DUMP_READY, ERROR, EARLIER, within_2s_saw("control 40 00 0001 0001 0 -> stall refused")),
]
