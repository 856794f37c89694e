from common import *
from harness import Case, IMAGE, OUTPUT


def round_trip(name, image, size):
    return Case(name=name, prog="chipdump", args=[OUTPUT, f"{size:x}"], image=image,
                before=[("chipburn", [IMAGE])], status=0, stderr=b"", output=padded(image)[:size])


CASES = [
    round_trip("round trip: one block", data(STRETCH, seed=21), STRETCH),
    round_trip("round trip: 64 KiB", data(65536, seed=22), 65536),
    round_trip("round trip: a part block comes back with its erased fill", data(5000, seed=23), 3 * STRETCH),
    round_trip("round trip: a part block at its own size", data(5000, seed=24), 5000),
]
