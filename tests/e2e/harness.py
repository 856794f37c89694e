"""Runs the programs end to end against the simulated board.

A case is data: the program, its arguments, what is on disk and in the
chip before, standard input, the board's knobs, and what must come out:
status, stdout, stderr, the driver-call log, the bytes on the link, the chip
and the output file. Every case also checks that a device that was opened
got closed. The same cases run on every build; for Windows programs the
console text is expected with "\n" written as "\r\n". With --front usb the
programs reach the board over USB (the libftdi build, through simusb): the
board then logs USB requests and transfers instead of driver calls.
"""
import argparse
import ctypes
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

# What the USB front logs for the transfer a driver call makes.
USB_EVENT = {"FT_Write": "bulk out", "FT_Read": "bulk in"}
CHIP, LOG, WIRE = "chip.bin", "calls.log", "wire.bin"
IMAGE, OUTPUT = "image.bin", "dump.bin"
ERASED_CHIP = b"\xff" * 65536
TIMEOUT = 60
PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH = 24, 1, 2
SKIP = object()  # drops an expectation a case builder would otherwise set
CLOSED = object()  # as stdin: the program starts with file descriptor 0 closed


class Case(dict):
    """Keys: name, prog, args, stdin (default two Returns, None for end of
    input, CLOSED for no fd 0 at all), stdin_stays_open, image, chip,
    output_before, setup (callables given the work folder), before (runs of
    (prog, args) in the same folder first), env, interrupt_after (a call-log
    line prefix) with signal (default SIGINT), unprivileged (file modes bind
    even when the tests run as root), not_on_windows (a reason to skip the
    case for Windows programs), d2xx_only (a reason to skip it over USB),
    usb_only, and the expectations status, stdout, stderr (bytes or compiled
    regex), log (list of lines), usb_log (list of lines or a check of them),
    wire, chip_after, output (bytes, or None for "no such file"),
    check(result) -> error text."""


def console(text, windows):
    return text.replace(b"\n", b"\r\n") if windows else text


def first_difference(want, got):
    at = next((i for i, (a, b) in enumerate(zip(want, got)) if a != b), min(len(want), len(got)))
    return f"differ at byte {at} (want {len(want)} bytes, got {len(got)}): want {want[at:at + 40]!r}, got {got[at:at + 40]!r}"


def program_chip(chip, wire):
    """What the board makes of the link bytes: two per address, EPROM bits only go 1 -> 0."""
    chip = bytearray(chip)
    for i in range(0, len(wire) - 1, 2):
        address = (i // 2) % len(chip)
        chip[address] &= wire[i] & wire[i + 1]
    return bytes(chip)


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def wait_for_line(path, prefix, proc):
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline and proc.poll() is None:
        text = read(path) or b""
        if any(line.startswith(prefix.encode()) for line in text.splitlines()):
            return True
        time.sleep(0.005)
    return False


def without_file_override():
    """Root reads and writes whatever it likes. A run that must meet file
    modes keeps root's identity, so it can still reach the programs wherever
    the build is, but gives up the two capabilities that override modes."""
    prctl = ctypes.CDLL(None, use_errno=True).prctl
    for capability in (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH):
        if prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0:
            raise OSError(ctypes.get_errno(), "cannot drop a capability")


def run(case, programs, emulator, windows, front):
    errors = []
    with tempfile.TemporaryDirectory(prefix="zb-") as work:
        at = lambda name: os.path.join(work, name)
        for name, key in ((IMAGE, "image"), (CHIP, "chip"), (OUTPUT, "output_before")):
            if case.get(key) is not None:
                with open(at(name), "wb") as f:
                    f.write(case[key])
        for setup in case.get("setup", []):
            setup(work)
        # Only the case sets the board's knobs: one left in the caller's
        # environment (a chip size, a failure) would change every case.
        env = {k: v for k, v in os.environ.items() if not k.startswith("SIMBOARD_")}
        env.update(SIMBOARD_CHIP=CHIP, SIMBOARD_LOG=LOG, SIMBOARD_WIRE=WIRE, **case.get("env", {}))
        case = Case((k, v) for k, v in case.items() if v is not SKIP)
        for prog, args in case.get("before", []):
            earlier = subprocess.run(emulator + [programs[prog]] + args, cwd=work, env=env, input=b"\n\n",
                                     capture_output=True, timeout=TIMEOUT)
            if earlier.returncode != 0:
                return [f"{prog} {' '.join(args)} before the case failed: {earlier.stderr!r}"]
        command = emulator + [programs[case["prog"]]] + case.get("args", [])
        stdin = case.get("stdin", b"\n\n")
        in_child = []
        if stdin is CLOSED:
            in_child.append(lambda: os.close(0))
        if case.get("unprivileged") and os.geteuid() == 0:
            in_child.append(without_file_override)
        started = time.monotonic()
        proc = subprocess.Popen(command, cwd=work, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                stdin=subprocess.PIPE if isinstance(stdin, bytes) else subprocess.DEVNULL,
                                preexec_fn=(lambda: [step() for step in in_child]) if in_child else None)
        if not isinstance(stdin, bytes):
            stdin = None
        if case.get("stdin_stays_open"):
            # Typed ahead, with no end of input behind it: a program that
            # read more than one character a prompt would wait for more.
            proc.stdin.write(stdin)
            proc.stdin.flush()
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                errors.append("still waiting for input after the characters typed ahead")
            proc.stdin.close()
            proc.stdin = stdin = None
        if case.get("interrupt_after"):
            proc.stdin.write(stdin)
            proc.stdin.close()
            proc.stdin = stdin = None
            event = USB_EVENT[case["interrupt_after"]] if front == "usb" else case["interrupt_after"]
            if wait_for_line(at(LOG), event, proc):
                proc.send_signal(case.get("signal", signal.SIGINT))
            else:
                errors.append(f"never saw {case['interrupt_after']} in the call log")
        try:
            out, err = proc.communicate(stdin, timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate()
            errors.append(f"hung: no end after {TIMEOUT} s")
        seconds = time.monotonic() - started
        log = (read(at(LOG)) or b"").decode().splitlines()
        usb_log, log = (log, []) if front == "usb" else ([], log)
        result = dict(status=proc.returncode, stdout=out, stderr=err, log=log, usb_log=usb_log,
                      wire=read(at(WIRE)) or b"", chip=read(at(CHIP)), output=read(at(OUTPUT)), work=work,
                      windows=windows, front=front, seconds=seconds)

        if "status" in case and result["status"] != case["status"]:
            errors.append(f"status: want {case['status']}, got {result['status']}")
        for stream in ("stdout", "stderr"):
            want = case.get(stream)
            if want is None:
                continue
            if isinstance(want, re.Pattern):
                pattern = want.pattern.replace(rb"\n", rb"\r\n") if windows else want.pattern
                if not re.fullmatch(pattern, result[stream], re.S):
                    errors.append(f"{stream}: {result[stream][:300]!r} does not match {pattern!r}")
            elif result[stream] != console(want, windows):
                errors.append(f"{stream}: " + first_difference(console(want, windows), result[stream]))
        if "log" in case and front != "usb" and log != case["log"]:
            errors.append("call log:\n  want " + "\n       ".join(case["log"]) + "\n  got  " + "\n       ".join(log))
        if callable(case.get("usb_log")):
            problem = case["usb_log"](usb_log)
            if problem:
                errors.append("USB log: " + problem)
        elif "usb_log" in case and usb_log != case["usb_log"]:
            errors.append("USB log:\n  want " + "\n       ".join(case["usb_log"]) + "\n  got  " + "\n       ".join(usb_log))
        if "wire" in case and result["wire"] != case["wire"]:
            errors.append("link bytes " + first_difference(case["wire"], result["wire"]))
        if "chip_after" in case and result["chip"] != case["chip_after"]:
            errors.append("chip " + first_difference(case["chip_after"], result["chip"] or b""))
        if "output" in case and result["output"] != case["output"]:
            if case["output"] is None or result["output"] is None:
                errors.append(f"output file: want {case['output']!r:.60}, got {result['output']!r:.60}")
            else:
                errors.append("output file " + first_difference(case["output"], result["output"]))
        # A chip that was opened must have been programmed as the link says.
        if result["chip"] is not None and any(l.startswith("FT_Write") for l in log):
            before = case.get("chip", ERASED_CHIP)
            if result["chip"] != program_chip(before, result["wire"]):
                errors.append("chip does not hold what went over the link")
        opened = sum(1 for l in log if l.startswith("FT_OpenEx") and l.endswith("-> 0"))
        # A close the board was told to refuse still counts: the program did all it could.
        refused = "FT_Close" in case.get("env", {}).get("SIMBOARD_FAIL", "")
        closed = sum(1 for l in log if l == "FT_Close -> 0" or refused and l.startswith("FT_Close -> "))
        if front != "usb" and opened != closed:
            errors.append(f"device opened {opened} times, closed {closed} times")
        if case.get("check"):
            problem = case["check"](result)
            if problem:
                errors.append(problem)
        if errors:
            errors.insert(0, "command: " + " ".join(command) + "  (env: " + " ".join(
                f"{k}={v}" for k, v in case.get("env", {}).items()) + ")")
    return errors


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--chipburn", required=True)
    parser.add_argument("--chipdump", required=True)
    parser.add_argument("--emulator", default="", help="command that runs the programs, e.g. wine")
    parser.add_argument("--windows", action="store_true", help="expect the Windows console's line ends")
    parser.add_argument("--front", choices=("d2xx", "usb"), default="d2xx",
                        help="how the programs reach the simulated board: its D2XX calls, or USB (simusb)")
    parser.add_argument("--filter", default="", help="run only cases whose name contains this")
    parser.add_argument("suites", nargs="+", help="python files that define CASES")
    args = parser.parse_args()
    programs = {"chipburn": os.path.abspath(args.chipburn), "chipdump": os.path.abspath(args.chipdump)}
    emulator = args.emulator.split() if args.emulator else []
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    sys.modules["harness"] = sys.modules[__name__]  # the suites share this module's SKIP
    passed = failed = skipped = 0
    for suite in args.suites:
        namespace = {}
        with open(suite) as f:
            exec(compile(f.read(), suite, "exec"), namespace)
        for case in namespace["CASES"]:
            if args.filter not in case["name"]:
                continue
            reason = (args.windows and case.get("not_on_windows") or args.front == "usb" and case.get("d2xx_only")
                      or args.front != "usb" and case.get("usb_only") and "a case of the USB front")
            if reason:
                skipped += 1
                print(f"skip {case['name']}: {reason}", flush=True)
                continue
            errors = run(case, programs, emulator, args.windows, args.front)
            if errors:
                failed += 1
                print(f"FAIL {case['name']}\n  " + "\n  ".join(errors), flush=True)
            else:
                passed += 1
                print(f"ok   {case['name']}", flush=True)
    print(f"{passed} passed, {failed} failed" + (f", {skipped} skipped" if skipped else ""))
    return 1 if failed or not (passed or skipped) else 0


if __name__ == "__main__":
    sys.exit(main())
