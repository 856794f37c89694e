#!/usr/bin/env python3
"""Link-rate benchmark: how much of the link's time chipburn, chipdump and
chipverify spend of their own, on the simulated board.

  python3 bench/bench.py            builds build/bench (Release) and prints the table
  python3 bench/bench.py --quick    leaves out the 109 s real-time burn of 1 MiB
  python3 bench/bench.py --tail     only the erased tail's ratio (about 2 s)

The link's physical time comes from the FT232R in asynchronous bit-bang:
16 x baud bytes a second, so one 4096-byte block takes 213 ms for the writer
at 1200 baud and 26.7 ms for the readers (chipdump, chipverify) at 9600.

With the board answering at once, a run's CPU time is the programs' own
work plus the simulated board's (a few stdio calls a block on the chip
file), so it is an upper bound of what the programs cost. CPU times come
from wait4 (median of several runs). Peak memory comes from GNU time, which
forks the program from a small process: a child forked from Python would
report Python's own peak.
"""
import argparse
import os
import pty
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BLOCK = 4096
ADDRESSES = BLOCK // 2
BAUD = {"chipburn": 1200, "chipdump": 9600, "chipverify": 9600}
SIZES = {"64 KiB": 64 * 1024, "1 MiB": 1024 * 1024}
TARGET_SHARE, TARGET_PTY_SHARE, TARGET_RATIO, TARGET_RSS_KIB, TARGET_WRITES = 0.01, 0.005, 1.01, 4096, 4


def link_block_seconds(prog):
    return BLOCK / (16.0 * BAUD[prog])


def build(build_dir):
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "--target", *BAUD, "-j", str(os.cpu_count())],
                   check=True, stdout=subprocess.DEVNULL)


class Setup:
    """A work folder with an image and a chip of the size under test."""

    def __init__(self, programs, prog, size, work):
        self.prog, self.size, self.work = prog, size, work
        self.blocks = size // ADDRESSES
        self.image = os.path.join(work, "image.bin")
        self.chip = os.path.join(work, "chip.bin")
        with open(self.image, "wb") as f:
            f.write(os.urandom(size))
        if prog in ("chipburn", "chipverify"):
            self.command = [programs[prog], self.image]
        else:
            self.command = [programs[prog], os.path.join(work, "dump.bin"), f"{size:x}"]

    def env(self, **knobs):
        # A fresh erased chip for the writer every run, so each run programs the
        # same cells; the readers find the image in the chip, so a verify is a match.
        if self.prog == "chipburn":
            with open(self.chip, "wb") as f:
                f.write(b"\xff" * self.size)
        else:
            with open(self.image, "rb") as src, open(self.chip, "wb") as f:
                f.write(src.read())
        env = {k: v for k, v in os.environ.items() if not k.startswith("SIMBOARD_")}
        env.update(SIMBOARD_CHIP=self.chip, **knobs)
        return env


def run_pipe(setup, **knobs):
    """CPU seconds (user, system) and wall seconds of one run, stdout on a pipe."""
    env = setup.env(**knobs)
    start = time.monotonic()
    proc = subprocess.Popen(setup.command, cwd=setup.work, env=env, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    drained = {}
    reader = threading.Thread(target=lambda: drained.update(out=proc.stdout.read(), err=proc.stderr.read()))
    reader.start()
    proc.stdin.write(b"\n\n")
    proc.stdin.close()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    reader.join()
    proc.returncode = status  # reaped by wait4, for its rusage; Popen must not wait again
    check(setup, status, drained["err"])
    return usage.ru_utime, usage.ru_stime, wall, len(drained["out"])


def run_pty(setup, **knobs):
    """As run_pipe, with stdout a pseudo-terminal drained as a terminal would be."""
    master, slave = pty.openpty()
    env = setup.env(**knobs)
    start = time.monotonic()
    proc = subprocess.Popen(setup.command, cwd=setup.work, env=env, stdin=subprocess.PIPE, stdout=slave,
                            stderr=subprocess.PIPE)
    os.close(slave)

    def drain():
        try:
            while os.read(master, 65536):
                pass
        except OSError:  # EIO once the program's end of the terminal is gone
            pass

    reader = threading.Thread(target=drain)
    reader.start()
    proc.stdin.write(b"\n\n")
    proc.stdin.close()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    proc.returncode = status
    err = proc.stderr.read()
    reader.join()
    os.close(master)
    check(setup, status, err)
    return usage.ru_utime, usage.ru_stime, wall


def check(setup, status, err):
    if status != 0 or err:
        sys.exit(f"{' '.join(setup.command)} failed (wait status {status}): {err!r}")


def peak_rss_kib(setup):
    report = os.path.join(setup.work, "time.txt")
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report] + setup.command, cwd=setup.work, env=setup.env(),
                   input=b"\n\n", stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    with open(report) as f:
        return int(f.read().split()[-1])


def driver_calls(setup):
    """(transfer calls, link bytes they moved, all driver calls) from the call log."""
    log = os.path.join(setup.work, "calls.log")
    if os.path.exists(log):
        os.remove(log)
    run_pipe(setup, SIMBOARD_LOG=log)
    with open(log) as f:
        lines = [line.split() for line in f if line.startswith("FT_")]
    transfers = [l for l in lines if l[0] in ("FT_Write", "FT_Read")]
    return len(transfers), sum(int(l[-1]) for l in transfers), len(lines)


def stdout_writes(setup):
    """write() calls on standard output in one run, counted by strace."""
    trace = os.path.join(setup.work, "strace.txt")
    subprocess.run(["strace", "-qq", "-e", "trace=write", "-e", "signal=none", "-o", trace] + setup.command,
                   cwd=setup.work, env=setup.env(), input=b"\n\n", stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)
    with open(trace) as f:
        return sum(1 for line in f if line.startswith("write(1,"))


def measure(programs, prog, label, size, repeats, realtime, realtime_pty):
    with tempfile.TemporaryDirectory(prefix="zb-bench-") as work:
        setup = Setup(programs, prog, size, work)
        pipe_runs = [run_pipe(setup) for _ in range(repeats)]
        pty_runs = [run_pty(setup) for _ in range(repeats)]
        transfers, moved, calls = driver_calls(setup)
        per_block = lambda runs, part: statistics.median(part(r) for r in runs) / setup.blocks
        row = dict(prog=prog, label=label, blocks=setup.blocks, link=link_block_seconds(prog),
                   pipe=per_block(pipe_runs, lambda r: r[0] + r[1]), pipe_sys=per_block(pipe_runs, lambda r: r[1]),
                   pty=per_block(pty_runs, lambda r: r[0] + r[1]), pty_sys=per_block(pty_runs, lambda r: r[1]),
                   out=pipe_runs[0][3] / setup.blocks, per_block=transfers / (moved / BLOCK), calls=calls,
                   rss=peak_rss_kib(setup), writes=stdout_writes(setup) / setup.blocks, wall=None, wall_pty=None)
        if realtime:
            row["wall"] = run_pipe(setup, SIMBOARD_REALTIME="1")[2]
        if realtime_pty:
            row["wall_pty"] = run_pty(setup, SIMBOARD_REALTIME="1")[2]
        return row


def erased_tail_ratio(programs):
    """chipburn in real time of a 64 KiB image of 8 KiB of data padded with FF,
    over the same 8 KiB alone: the erased blocks after the last that
    programs a cell are never sent, so the two take the same link time."""
    walls = {}
    with tempfile.TemporaryDirectory(prefix="zb-bench-") as work:
        code = os.urandom(8 * 1024)
        for label, image in (("padded", code + b"\xff" * (56 * 1024)), ("alone", code)):
            setup = Setup(programs, "chipburn", 64 * 1024, work)
            with open(setup.image, "wb") as f:
                f.write(image)
            walls[label] = run_pipe(setup, SIMBOARD_REALTIME="1")[2]
    return walls["padded"], walls["alone"]


def tail_line(padded, alone):
    return (f"Erased tail: chipburn of 8 KiB + 56 KiB of FF {padded:.2f} s, of the 8 KiB alone {alone:.2f} s:"
            f" ratio {padded / alone:.3f} (target about 1.0)")


def ms(seconds):
    return f"{seconds * 1000:.3f}"


def table(rows):
    lines = ["Board answering at once: CPU per 4096-byte block (user + system, median of runs), and that as a share",
             "of the link's time for a block; stdout a pipe, then a pseudo-terminal",
             "program    image   blocks  link ms | pipe: CPU ms  share  sys ms | pty: CPU ms  share  sys ms"
             " | stdout B/block  writes/block  transfers/4096 B  calls  peak RSS"]
    for r in rows:
        lines.append(f"{r['prog']:<10} {r['label']:<7} {r['blocks']:>6}  {r['link'] * 1000:7.1f} | {ms(r['pipe']):>12}"
                     f" {r['pipe'] / r['link']:6.2%}  {ms(r['pipe_sys']):>6} | {ms(r['pty']):>11} {r['pty'] / r['link']:6.2%}"
                     f"  {ms(r['pty_sys']):>6} | {r['out']:14.0f}  {r['writes']:12.2f}  {r['per_block']:16.2f}  {r['calls']:5d}"
                     f"  {r['rss'] / 1024:5.2f} MiB")
    lines += ["(the system-time part comes from the kernel's tick sampling: rough for small figures)",
              "", "Board in real time: end-to-end wall time over the link's time",
              "program    image    link s | pipe: wall s  ratio | pty: wall s  ratio"]
    ratio = lambda r, key: None if r[key] is None else r[key] / (r["blocks"] * r["link"])
    cell = lambda r, key: f"{'not run':>21}" if r[key] is None else f"{r[key]:12.2f} {ratio(r, key):6.4f}"
    for r in rows:
        lines.append(f"{r['prog']:<10} {r['label']:<7} {r['blocks'] * r['link']:7.2f} | {cell(r, 'wall')} |"
                     f"{cell(r, 'wall_pty')}")
    missed = [f"{r['prog']} {r['label']}: {what}" for r in rows for what, bad in (
        ("CPU share on a pipe at or over 1%", r["pipe"] / r["link"] >= TARGET_SHARE),
        ("CPU share on a terminal at or over 0.5%", r["pty"] / r["link"] >= TARGET_PTY_SHARE),
        ("more than 4 writes on standard output per block", r["writes"] > TARGET_WRITES),
        ("real-time ratio over 1.01 on a pipe", (ratio(r, "wall") or 0) > TARGET_RATIO),
        ("real-time ratio over 1.01 on a terminal", (ratio(r, "wall_pty") or 0) > TARGET_RATIO),
        ("peak RSS at or over 4 MiB", r["rss"] >= TARGET_RSS_KIB)) if bad]
    lines += ["", "Targets: share < 1% (terminal: < 0.5%), stdout writes per block <= 4, real-time ratio <= 1.01,"
              " peak RSS < 4 MiB: "
              + ("all met" if not missed else "missed:\n  " + "\n  ".join(missed))]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "bench"))
    parser.add_argument("--no-build", action="store_true", help="use the programs already in --build-dir")
    parser.add_argument("--quick", action="store_true", help="no real-time run of the 1 MiB burn (109 s)")
    parser.add_argument("--tail", action="store_true", help="only the erased tail's real-time ratio")
    parser.add_argument("--repeats", type=int, default=5, help="runs per measurement for 64 KiB (1 MiB: 3)")
    args = parser.parse_args()
    if not os.access("/usr/bin/time", os.X_OK):
        sys.exit("bench needs GNU time for peak memory: apt-get install time")
    if not shutil.which("strace"):
        sys.exit("bench needs strace to count writes on standard output: apt-get install strace")
    if not args.no_build:
        build(args.build_dir)
    programs = {p: os.path.join(args.build_dir, p, p) for p in BAUD}
    tail = erased_tail_ratio(programs)
    if args.tail:
        print(tail_line(*tail))
        return
    rows = []
    for prog in BAUD:
        for label, size in SIZES.items():
            realtime = not (args.quick and prog == "chipburn" and size > 65536)
            print(f"measuring {prog} {label} ...", file=sys.stderr, flush=True)
            repeats = args.repeats if size <= 65536 else max(1, min(3, args.repeats))
            # Real time on a terminal for the small image only: it would double the 109 s of the large burn.
            rows.append(measure(programs, prog, label, size, repeats, realtime, size <= 65536))
    print(table(rows))
    print(tail_line(*tail))


if __name__ == "__main__":
    main()
