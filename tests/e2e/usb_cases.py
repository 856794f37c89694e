"""What only the libftdi build meets: the divisor the chip is sent, another
FTDI device in the way, and a board that stops sending."""
from common import *
from harness import Case, IMAGE, OUTPUT

CHIP_DATA = data(65536, seed=51)


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
         output=b"", stdout=DUMP_READY + progress(0), stderr=CANT_INPUT + ERROR, check=within_silence_limit),
]
