"""Runs the programs end to end against the simulated board.

A case is data: the program, its arguments, what is on disk and in the chip
before, what the operator does at each prompt, the board's knobs, and what
must come out: status, stdout, stderr, the driver-call log, the bytes on the
link, the chip and the output file. The same cases run on every build: for
Windows programs the console text is expected with "\n" written as "\r\n";
over the simulated USB board (--front usb) the driver calls are libftdi's,
so the D2XX call log is not looked at.
"""
import argparse
import atexit
import os
import re
import resource
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

CHIP, LOG, WIRE, IMAGE, OUTPUT = "chip.bin", "calls.log", "wire.bin", "image.bin", "dump.bin"
TIMEOUT = 60
FILE_LIMIT = 64 << 20
SETTLE = 0.3  # how long a program waiting at a prompt is watched for doing more
HELPERS = {}  # name: the command that runs a helper program the build made for the cases, as the programs run
BROKEN = "broken"  # as stdout: a pipe whose reader has gone before the program starts
STALLED = "stalled"  # as stdout: a pipe whose reader never reads
D2XX_KNOBS = ("SIMBOARD_FAIL", "SIMBOARD_SHORT")  # the simulated USB board has no such knobs
NOBODY = 65534  # the ordinary user root runs a case as, and its group


class Case(dict):
    """Keys: name, prog, args, image, chip, output_before (bytes put in the
    work folder first), setup (callables given the work folder), before
    (runs of (prog, args) in the same folder first), env (the board's knobs),
    closed (standard fds the program starts without), ignored (signals it
    starts with ignored), umask (the one it starts with), file_limit (the
    largest file it may write, ulimit -f, in bytes), stdout=BROKEN or
    STALLED, stdout_file (a file in the work folder, or a path, appended to
    as stdout), wrapper (a command the program is run under: stdbuf,
    strace), long_run (the seconds a case that takes minutes may run, only
    with --long-runs), and what the
    operator does: stdin (typed, then end of input; default two Returns),
    or dialogue, a list of (text on screen, call log so far or None, answer)
    where the answer is bytes typed, a signal sent, or a callable given the
    work folder, and standard input stays open to the end; or interrupt,
    (text on screen or a callable given the work folder, signal).
    Expectations: status, stdout, stderr (bytes or compiled regex), log,
    usb_log (lists of lines), wire, chip_after, output (bytes, or None for
    no such file), check(result) returning an error text. not_on_windows,
    windows_only, not_over_usb and usb_only skip a case, and so does skip_if,
    a callable returning a reason. A dialogue's text on screen may also be a
    callable given the work folder, true once the answer is due.
    ordinary_user=True runs the program as an ordinary user: under root,
    nobody, given the work folder and the files the harness puts there
    (setups may give them back); otherwise the user running the suite. A
    tuple of group ids instead adds them as nobody's supplementary groups,
    which only root can do."""


def give_to_user(path):
    """A setup's file or folder, made by the suite, for the user an
    ordinary_user case runs as."""
    if os.geteuid() == 0:
        os.chown(path, NOBODY, NOBODY)


def switched(case):
    """The groups nobody gets when root runs the case as nobody, or None."""
    wanted = case.get("ordinary_user")
    if not wanted or os.geteuid() != 0:
        return None
    return [] if wanted is True else list(wanted)


COPIES = {}  # the programs copied where nobody can run them, or why it cannot


def copies_for_nobody(args):
    """The checkout may sit in a folder only root can enter: nobody runs
    copies of the programs, once they were seen to start as nobody."""
    if not COPIES:
        folder = tempfile.mkdtemp(prefix="zb-programs-")
        atexit.register(shutil.rmtree, folder, True)
        os.chmod(folder, 0o755)
        for prog, path in args.programs.items():
            COPIES[prog] = shutil.copy(path, folder)
        # A build that links its driver by a path nobody cannot reach fails
        # to start, and says why.
        # A temporary folder inside one only its owner may enter cannot be
        # reached at all.
        try:
            tried = subprocess.run([COPIES["chipdump"], "--version"], user=NOBODY, group=NOBODY, extra_groups=[],
                                   capture_output=True, timeout=TIMEOUT)
            reason = (tried.stderr.decode(errors="replace").strip().splitlines() or ["no reason given"])[0]
        except PermissionError as error:
            tried, reason = None, f"{error.strerror}: {folder}"
        if tried is None or tried.returncode != 0:
            COPIES["failed"] = f"the programs copied for nobody do not start: {reason}"
    return COPIES


def console(text, windows):
    return text.replace(b"\n", b"\r\n") if windows else text


def first_difference(want, got):
    at = next((i for i, (a, b) in enumerate(zip(want, got)) if a != b), min(len(want), len(got)))
    return f"differ at byte {at} (want {len(want)} bytes, got {len(got)}): want {want[at:at + 40]!r}, got {got[at:at + 40]!r}"


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def lines(path):
    return (read(path) or b"").decode().splitlines()


def wait_for(condition, proc, timeout=TIMEOUT):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and proc.poll() is None and not condition():
        time.sleep(0.005)
    return condition()


def start_child(closed, ignored, file_limit):
    # A program that never stops sending must not fill the disk first.
    resource.setrlimit(resource.RLIMIT_FSIZE, (file_limit, file_limit))
    # As at a terminal, whatever ignored them where the tests were started.
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGXFSZ):
        signal.signal(number, signal.SIG_IGN if number in ignored else signal.SIG_DFL)
    for fd in closed:
        os.close(fd)


def drain(stream, into):
    for chunk in iter(lambda: stream.read1(65536), b""):
        into += chunk


def type_in(proc, text, end_of_input):
    """A program may end without reading what was typed for it."""
    try:
        if text:
            proc.stdin.write(text)
            proc.stdin.flush()
        if end_of_input:
            proc.stdin.close()
    except BrokenPipeError:
        pass


def converse(case, proc, out, work, args, errors):
    """Plays the operator: answers each prompt once it is on screen and the
    program has shown for a moment that it waits there."""
    at = lambda name: os.path.join(work, name)
    for text, calls, answer in case.get("dialogue", []):
        if callable(text):
            if not wait_for(lambda: text(work), proc, timeout=10):
                return errors.append(f"never got where {text.__name__} is true; stdout so far {bytes(out)[-60:]!r}")
        elif not wait_for(lambda: bytes(out).endswith(console(text, args.windows)), proc, timeout=10):
            return errors.append(f"never waited at {text[-40:]!r}; stdout so far {bytes(out)[-60:]!r}")
        time.sleep(SETTLE)
        if calls is None:
            pass
        elif args.front == "d2xx" and lines(at(LOG)) != calls:
            return errors.append(f"at {text[-40:]!r} the board saw {lines(at(LOG))}, want {calls}")
        elif args.front == "usb":
            # Over USB a block goes out in one transfer; samples come in many.
            usb = [line.split()[1] for line in lines(at(LOG)) if line.startswith("bulk ")]
            writes, reads = (sum(1 for c in calls if c.startswith(call)) for call in ("FT_Write", "FT_Read"))
            if usb.count("out") != writes or reads == 0 and "in" in usb:
                return errors.append(f"at {text[-40:]!r} the board saw transfers {usb}, want {writes} out")
        if isinstance(answer, bytes):
            type_in(proc, answer, False)
        elif callable(answer):
            answer(work)
        else:
            proc.send_signal(answer)
    if "interrupt" in case:
        when, number = case["interrupt"]
        if callable(when):
            if not wait_for(lambda: when(work), proc, timeout=10):
                return errors.append("the program never got where the signal was to be sent")
            time.sleep(SETTLE)  # long enough to be blocked there, if it blocks
        elif not wait_for(lambda: console(when, args.windows) in out, proc):
            return errors.append(f"never saw {when!r} before the signal")
        proc.send_signal(number)


def run(case, args):
    errors = []
    groups = switched(case)
    programs = copies_for_nobody(args) if groups is not None else args.programs
    user = dict(user=NOBODY, group=NOBODY, extra_groups=groups) if groups is not None else {}
    with tempfile.TemporaryDirectory(prefix="zb-") as work:
        at = lambda name: os.path.join(work, name)
        for name, key in ((IMAGE, "image"), (CHIP, "chip"), (OUTPUT, "output_before")):
            if case.get(key) is not None:
                with open(at(name), "wb") as f:
                    f.write(case[key])
        if groups is not None:
            for name in (".", IMAGE, CHIP, OUTPUT):
                if os.path.exists(at(name)):
                    give_to_user(at(name))
        for setup in case.get("setup", []):
            setup(work)
        # Only the case sets the board's knobs: one left in the caller's
        # environment (a chip size, a failure) would change every case.
        env = {k: v for k, v in os.environ.items() if not k.startswith("SIMBOARD_")}
        env.update(dict(SIMBOARD_CHIP=CHIP, SIMBOARD_LOG=LOG, SIMBOARD_WIRE=WIRE), **case.get("env", {}))
        for prog, prog_args in case.get("before", []):
            earlier = subprocess.run(args.emulator + [args.programs[prog]] + prog_args, cwd=work, env=env,
                                     input=b"\n\n", capture_output=True, timeout=TIMEOUT)
            if earlier.returncode != 0:
                return [f"{prog} {' '.join(prog_args)} before the case failed: {earlier.stderr!r}"]
            if os.path.exists(at(LOG)):
                os.remove(at(LOG))
            if groups is not None:
                for name in (CHIP, WIRE):
                    if os.path.exists(at(name)):
                        give_to_user(at(name))
        command = args.emulator + case.get("wrapper", []) + [programs[case["prog"]]] + case.get("args", [])
        closed, ignored, file_limit = case.get("closed", []), case.get("ignored", []), case.get("file_limit", FILE_LIMIT)
        pipe = os.pipe() if case.get("stdout") in (BROKEN, STALLED) else None
        stdout = open(at(case["stdout_file"]), "ab") if "stdout_file" in case else None
        started = time.monotonic()
        proc = subprocess.Popen(command, cwd=work, env=env, stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                                stdout=pipe[1] if pipe else stdout or subprocess.PIPE,
                                preexec_fn=lambda: start_child(closed, ignored, file_limit), start_new_session=True,
                                umask=case.get("umask", -1), **user)
        if pipe:
            os.close(pipe[1])
            if case["stdout"] is BROKEN:
                os.close(pipe[0])
        if stdout:
            stdout.close()
        out, err = bytearray(), bytearray()
        drains = [threading.Thread(target=drain, args=(s, b)) for s, b in ((proc.stdout, out), (proc.stderr, err)) if s]
        for thread in drains:
            thread.start()
        if "dialogue" not in case:
            type_in(proc, case.get("stdin", b"\n\n") if 0 not in closed else b"", True)
        converse(case, proc, out, work, args, errors)
        try:
            proc.wait(timeout=10 if "dialogue" in case or "interrupt" in case else case.get("long_run", TIMEOUT))
        except subprocess.TimeoutExpired:
            # The whole group: a launcher's or Wine's children hold the pipes.
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            errors.append("still running: waiting for more input than was typed, or hung")
        seconds = time.monotonic() - started
        if pipe and case["stdout"] is STALLED:
            os.close(pipe[0])
        for thread in drains:
            thread.join()
        type_in(proc, b"", True)
        log = lines(at(LOG))
        result = dict(status=proc.returncode, stdout=bytes(out), stderr=bytes(err), log=log, usb_log=log,
                      wire=read(at(WIRE)) or b"", chip_after=read(at(CHIP)), output=read(at(OUTPUT)), work=work,
                      windows=args.windows, seconds=seconds)
        check(case, result, args, errors)
        if errors:
            errors.insert(0, "command: " + " ".join(command) + "  (env: " + " ".join(
                f"{k}={v}" for k, v in case.get("env", {}).items()) + ")")
    return errors


def usb_opens(log):
    """Opens that reached the program: libftdi claims the interface, then
    resets the chip and sets 9600 baud, and drops the board itself if
    either is refused."""
    opens = 0
    for i, line in enumerate(log):
        if line == "claim interface 0 -> 0":
            requests = [l for l in log[i + 1:] if l.startswith("control 40 ")][:2]
            opens += len(requests) == 2 and not any("stall" in l for l in requests)
    return opens


def check(case, result, args, errors):
    if "status" in case and result["status"] != case["status"]:
        errors.append(f"status: want {case['status']}, got {result['status']}")
    for stream in ("stdout", "stderr"):
        want = case.get(stream)
        if isinstance(want, re.Pattern):
            pattern = want.pattern.replace(rb"\n", rb"\r\n") if args.windows else want.pattern
            if not re.fullmatch(pattern, result[stream], re.S):
                errors.append(f"{stream}: {result[stream][:300]!r} does not match {pattern!r}")
        elif isinstance(want, bytes) and result[stream] != console(want, args.windows):
            errors.append(f"{stream}: " + first_difference(console(want, args.windows), result[stream]))
    for key in ("log", "usb_log"):
        if key in case and (key == "log") == (args.front == "d2xx") and result[key] != case[key]:
            errors.append(f"{key}:\n  want " + "\n       ".join(case[key]) + "\n  got  " + "\n       ".join(result[key]))
    for key in ("wire", "chip_after", "output"):
        if key in case and result[key] != case[key]:
            if case[key] is None or result[key] is None:
                errors.append(f"{key}: want {case[key]!r:.60}, got {result[key]!r:.60}")
            else:
                errors.append(f"{key} " + first_difference(case[key], result[key]))
    # A device the program opened must be closed on every path it takes itself.
    if args.front == "d2xx" and result["status"] >= 0:
        opened = sum(1 for l in result["log"] if l.startswith("FT_OpenEx") and l.endswith("-> 0"))
        closed = sum(1 for l in result["log"] if l.startswith("FT_Close"))
        if opened != closed:
            errors.append(f"device opened {opened} times, closed {closed} times")
    if args.front == "usb" and result["status"] >= 0:
        opened = usb_opens(result["usb_log"])
        closed = sum(1 for l in result["usb_log"] if l.startswith("release interface"))
        if opened != closed:
            errors.append(f"board opened {opened} times over USB, its interface released {closed} times")
    problem = case["check"](result) if "check" in case else None
    if problem:
        errors.append(problem)


def skip_reason(case, args):
    if args.windows and case.get("not_on_windows"):
        return case["not_on_windows"]
    if not args.windows and case.get("windows_only"):
        return case["windows_only"]
    knobs = [k for k in case.get("env", {}) if k in D2XX_KNOBS]
    if args.front == "usb" and knobs:
        return f"the simulated USB board has no {knobs[0]}"
    if args.front != "usb" and case.get("usb_only"):
        return "needs the simulated USB board"
    if args.front == "usb" and case.get("not_over_usb"):
        return case["not_over_usb"]
    wanted = case.get("ordinary_user")
    if wanted and os.geteuid() != 0 and wanted is not True:
        return "only root can run the program as another user with a group they share"
    if wanted and os.geteuid() == 0:
        if args.emulator:
            return "only the programs are copied for nobody, not " + ("Wine's prefix" if args.windows else "the USB launcher")
        problem = copies_for_nobody(args).get("failed")
        if problem:
            return problem
    if case.get("long_run") and not args.long_runs:
        return "takes minutes: the simulated board's own build runs it"
    return case["skip_if"]() if "skip_if" in case else None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--chipburn", required=True)
    parser.add_argument("--chipdump", required=True)
    parser.add_argument("--chipverify", required=True)
    parser.add_argument("--emulator", default="", help="command that runs the programs: wine, the USB launcher")
    parser.add_argument("--windows", action="store_true", help="expect the Windows console's line ends")
    parser.add_argument("--front", choices=("d2xx", "usb"), default="d2xx", help="how the programs reach the board")
    parser.add_argument("--hold", help="the Windows build's holder of files (tests/windows/hold.cpp)")
    parser.add_argument("--long-runs", action="store_true", help="run the cases that take minutes too")
    parser.add_argument("--filter", default="", help="run only cases whose name contains this")
    parser.add_argument("suites", nargs="+", help="python files that define CASES")
    args = parser.parse_args()
    args.programs = {p: os.path.abspath(getattr(args, p)) for p in ("chipburn", "chipdump", "chipverify")}
    # One program (a path may hold spaces), or a command line.
    args.emulator = [args.emulator] if os.path.exists(args.emulator) else shlex.split(args.emulator)
    if args.hold:
        HELPERS["hold"] = args.emulator + [os.path.abspath(args.hold)]
    # The suites import common.py: no __pycache__ left in the checkout.
    sys.dont_write_bytecode = True
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    sys.modules["harness"] = sys.modules[__name__]
    passed = failed = skipped = 0
    for suite in args.suites:
        namespace = {}
        with open(suite) as f:
            exec(compile(f.read(), suite, "exec"), namespace)
        for case in (c for c in namespace["CASES"] if args.filter in c["name"]):
            reason = skip_reason(case, args)
            if reason:
                skipped += 1
                print(f"skip {case['name']}: {reason}", flush=True)
                continue
            errors = run(case, args)
            passed, failed = passed + (not errors), failed + bool(errors)
            print(f"FAIL {case['name']}\n  " + "\n  ".join(errors) if errors else f"ok   {case['name']}", flush=True)
    # Not scripts/test.sh's closing form: this is one suite's tally.
    print(f"cases: {passed} ok, {failed} FAIL, {skipped} skip")
    # A suite whose cases are all for another build passes here.
    return 1 if failed or not (passed or skipped) else 0


if __name__ == "__main__":
    sys.exit(main())
