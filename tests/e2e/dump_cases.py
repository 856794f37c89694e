import fcntl
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading

from common import *
from harness import Case, IMAGE, OUTPUT, read

CHIP_DATA = data(65536, seed=11)
GREEK = "δεδομένα.bin"


def dump(name, size_text, reads, **more):
    expect = dict(prog="chipdump", args=[OUTPUT, size_text], chip=CHIP_DATA, output_before=EARLIER, status=0,
                  stderr=b"", stdout=DUMP_READY + progress(*range(0, reads * STRETCH, STRETCH)),
                  log=READER_OPEN + [PURGE, RESTART] + [READ] * reads + [CLOSE], chip_after=CHIP_DATA)
    expect.update(more)
    return Case(name=name, **expect)


def round_trip(name, image, size_text, reads):
    return dump(name, size_text, reads, chip=None, chip_after=burned(image), image=image,
                before=[("chipburn", [IMAGE])], output=padded(image)[:int(size_text, 16)])


FOLDER = "out"  # the output alone in a folder, so that nothing may be left beside it
IN_FOLDER = os.path.join(FOLDER, OUTPUT)


def in_folder(earlier):
    """out/ holding an earlier dump, or nothing."""
    def setup(work):
        os.makedirs(os.path.join(work, FOLDER), exist_ok=True)
        if earlier is not None:
            with open(os.path.join(work, IN_FOLDER), "wb") as f:
                f.write(earlier)
    return setup


def folder_holds(files, then=None):
    """out/ holds these files ({name: bytes}) and nothing else; then `then`
    is given the work folder, whatever was found."""
    def check(result):
        folder = os.path.join(result["work"], FOLDER)
        try:
            found = {name: read(os.path.join(folder, name)) for name in os.listdir(folder)}
        finally:
            if then:
                then(result["work"])
        if found == files:
            return None
        return f"out/ holds {sorted(found)}" + ("" if set(found) != set(files) else ", not the bytes it should")
    return check


def append_only(on):
    """chattr +a: the file takes appended bytes, and can be neither emptied nor replaced."""
    def change(work):
        subprocess.run(["chattr", "+a" if on else "-a", os.path.join(work, IN_FOLDER)], check=True)
    return change


def refused(command, undo):
    """What only a user with the right to it may do (root, most often): tried
    on a scratch folder, then undone."""
    def probe():
        with tempfile.TemporaryDirectory() as folder:
            tried = subprocess.run(command(folder), capture_output=True, text=True)
            if tried.returncode == 0:
                subprocess.run(undo(folder), check=True)
        reason = (tried.stderr.strip().splitlines() or ["no reason given"])[0]
        return f"{' '.join(command('DIR'))} is refused here: {reason}" if tried.returncode else None
    return probe


chattr_refused = refused(lambda folder: ["sh", "-c", f"touch {folder}/f && chattr +a {folder}/f"],
                         lambda folder: ["chattr", "-a", f"{folder}/f"])
# A disk that fills up at 64 KiB, with the earlier dump on it.
SMALL_DISK = ["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs"]
mount_refused = refused(lambda folder: SMALL_DISK + [folder], lambda folder: ["umount", folder])


def small_disk(work):
    os.makedirs(os.path.join(work, FOLDER))
    subprocess.run(SMALL_DISK + [os.path.join(work, FOLDER)], check=True)


def unmount(work):
    subprocess.run(["umount", os.path.join(work, FOLDER)], check=True)


def progress_after(shown, most):
    """What was shown, then at most `most` more progress lines."""
    return re.compile(re.escape(shown) + rb"(?:[ 0-9a-f]{4,8}\r){0,%d}" % most)


def stopped_by(number):
    """The signal comes while the third block is read: the dump stops after
    the block under way, or perhaps a few more, never at its end."""
    shown = DUMP_READY + progress(0, 0x800, 0x1000)
    return dict(env={"SIMBOARD_REALTIME": "1"}, interrupt=(shown, number), stderr=ERROR,
                stdout=progress_after(shown, 60),
                not_on_windows=None if number == signal.SIGINT else "Wine does not raise it in the program")


# 128 KiB, 64 blocks, over an earlier dump or none: each way a dump can end
# short leaves the output as it was, and no file beside it.
FAILED_DUMPS = [
    ("no board", dict(env={"SIMBOARD_ABSENT": "1"}, stdout=b"", stderr=CANT_INIT + ERROR,
                      log=['FT_OpenEx "Zerbanit" 2 -> 2'])),
    ("Ctrl+C at the prompt ends it at once", dict(
        dialogue=[(DUMP_READY, READER_OPEN, signal.SIGINT)], status=-signal.SIGINT, stdout=DUMP_READY, stderr=b"",
        log=READER_OPEN, not_on_windows="Wine gives a program that Ctrl+C ended status 0")),
    ("the third receive fails", dict(
        env={"SIMBOARD_FAIL": "FT_Read:3"}, stdout=DUMP_READY + progress(0, 0x800, 0x1000), stderr=CANT_INPUT + ERROR,
        log=READER_OPEN + [PURGE, RESTART, READ, READ, "FT_Read 4096 -> 4 0", CLOSE])),
    ("Ctrl+C during sampling stops it", stopped_by(signal.SIGINT)),
    ("a hang-up during sampling stops it", stopped_by(signal.SIGHUP)),
    ("a full disk", dict(
        setup=[small_disk], skip_if=mount_refused, stdout=progress_after(DUMP_READY, 64),
        stderr=b"Can't write out/dump.bin: No space left on device\n" + ERROR)),
]


def failed_dump(how, earlier, more):
    expect = dict(prog="chipdump", args=[IN_FOLDER, "20000"], chip=CHIP_DATA, status=1)
    expect.update(more)
    expect["setup"] = more.get("setup", []) + [in_folder(earlier)]
    left = {OUTPUT: earlier} if earlier else {}
    expect["check"] = folder_holds(left, unmount if small_disk in expect["setup"] else None)
    return Case(name=f"dump: {how}: " + ("an earlier dump is kept" if earlier else "no output is made"), **expect)


def link_kept(result):
    at = lambda name: os.path.join(result["work"], name)
    if not os.path.islink(at(OUTPUT)) or os.readlink(at(OUTPUT)) != "kept/rom.bin":
        return "dump.bin is no longer the link to kept/rom.bin"
    if os.listdir(at("kept")) != ["rom.bin"] or read(at("kept/rom.bin")) != CHIP_DATA[:0x800]:
        return "kept/ does not hold just rom.bin with the new dump"
    return None


def mode_and_owner(mode, owner):
    def check(result):
        status = os.stat(os.path.join(result["work"], OUTPUT))
        got = (oct(status.st_mode & 0o777), status.st_uid if os.geteuid() == 0 else owner)
        return None if got == (oct(mode), owner) else f"mode and owner {got}, want {(oct(mode), owner)}"
    return check


def given_to_nobody(work):
    """An earlier dump of mode 0604, and as root, owned by nobody."""
    os.chmod(os.path.join(work, OUTPUT), 0o604)
    if os.geteuid() == 0:
        os.chown(os.path.join(work, OUTPUT), 65534, 65534)


def link_beside_kept(result):
    """out/dump.bin still the link to rom.bin beside it, and nothing made in the work folder."""
    if os.readlink(os.path.join(result["work"], IN_FOLDER)) != "rom.bin":
        return "out/dump.bin is no longer the link to rom.bin"
    made = os.path.lexists(os.path.join(result["work"], "rom.bin"))
    return "rom.bin was made in the work folder" if made else None


LONG_NAME = os.path.join(FOLDER, "d" * 246 + ".bin")  # 250 characters: the common file systems take 255


def immutable(on):
    """chattr +i: the folder takes no new file, and none of its files is renamed or removed."""
    def change(work):
        subprocess.run(["chattr", "+i" if on else "-i", os.path.join(work, FOLDER)], check=True)
    return change


def undo_both(work):
    immutable(False)(work)
    append_only(False)(work)


chattr_i_refused = refused(lambda folder: ["chattr", "+i", folder], lambda folder: ["chattr", "-i", folder])
strace_refused = refused(lambda folder: ["strace", "-o", "/dev/null", "true"], lambda folder: ["true"])


def synced_then_renamed(result):
    """The rename that puts the dump in place comes after a sync of the file it
    renames, through a descriptor that strace -y shows with its path."""
    trace = (read(os.path.join(result["work"], "trace.txt")) or b"").decode().splitlines()
    renames = [i for i, line in enumerate(trace)
               if re.search(r'rename\w*\(.*"%s"' % re.escape(OUTPUT), line) and line.endswith("= 0")]
    if not renames:
        return "no rename put the dump in place"
    fresh = os.path.basename(re.search(r'rename\w*\((?:\w+(?:<[^>]*>)?, )?"([^"]+)"', trace[renames[-1]]).group(1))
    synced = [line for line in trace[:renames[-1]]
              if re.search(r"f(?:data)?sync\(\d+<[^>]*/%s>\) = 0" % re.escape(fresh), line)]
    return None if synced else f"{fresh} was renamed to {OUTPUT} unsynced: " + " | ".join(trace[-6:])


FIFO, FIFO_READ = "dump.fifo", {}


def fifo_reader(work):
    """A reader of the FIFO that takes all it is sent."""
    os.mkfifo(os.path.join(work, FIFO))
    got = []

    def drain():
        with open(os.path.join(work, FIFO), "rb") as f:
            got.append(f.read())
    FIFO_READ[work] = (threading.Thread(target=drain, daemon=True), got)
    FIFO_READ[work][0].start()


def fifo_got(result):
    reader, got = FIFO_READ.pop(result["work"])
    reader.join(10)
    return None if got == [CHIP_DATA[:0x800]] else "the FIFO's reader got other bytes"


def stalled_fifo(work):
    """A reader of the FIFO that takes nothing, its pipe cut to a page before
    the program opens it, until the case is checked."""
    os.mkfifo(os.path.join(work, FIFO))
    FIFO_READ[work] = os.open(os.path.join(work, FIFO), os.O_RDONLY | os.O_NONBLOCK)
    fcntl.fcntl(FIFO_READ[work], fcntl.F_SETPIPE_SZ, 4096)


def full_disk(size_text, reads):
    return dump(f"dump: a full disk is never reported as done (size {size_text})", size_text, reads,
                args=["/dev/full", size_text], output=EARLIER, status=1,
                stderr=b"Can't write /dev/full: No space left on device\n" + ERROR)


CASES = [
    dump("dump: the prompt is on screen before the wait and takes one character; nothing sampled before it; "
         "the second sample of each address replaces an earlier dump; later arguments ignored",
         "1801", 4, args=[OUTPUT, "1801", "extra"], output=CHIP_DATA[:0x1801],
         dialogue=[(DUMP_READY, READER_OPEN, b"x")]),
    dump("dump: size 0 receives one block and replaces an earlier dump with an empty one", "0", 1, output=b""),
    round_trip("round trip: 64 KiB", data(65536, seed=22), "10000", 32),
    round_trip("round trip: 5000 bytes at their own size", data(5000, seed=24), "1388", 3),
    dump("dump: a dump named in Greek is written on a Western code page", "800", 1, args=[GREEK, "800"],
         env={"LC_ALL": "C.UTF-8"}, output=EARLIER,
         check=lambda r: None if read(os.path.join(r["work"], GREEK)) == CHIP_DATA[:0x800] else f"{GREEK} is wrong"),
    Case(name="dump: one argument does nothing", prog="chipdump", args=[OUTPUT], status=1, stdout=b"", stderr=b"",
         log=[], output=None),
    Case(name="dump: a bad size is refused before a file is made", prog="chipdump", args=[OUTPUT, "800k"],
         status=1, stdout=b"", log=[], output=None,
         stderr=b"Can't take \"800k\" as the size: give a hexadecimal number below 100000000.\n" + ERROR),
    # `chipdump dump.bin 800 >> dump.bin`: the prompt and progress would be in the dump.
    Case(name="dump: an output that is also standard output is refused, an earlier dump kept", prog="chipdump",
         args=[OUTPUT, "800"], stdout_file=OUTPUT, output_before=EARLIER, status=1, stdout=b"", log=[],
         output=EARLIER, stderr=b"Can't write dump.bin: it is also standard output\n" + ERROR),
    dump("dump: the null device may be both the output and standard output", "800", 1, args=["/dev/null", "800"],
         stdout_file="/dev/null", stdout=b"", output=EARLIER, not_on_windows="no /dev/null"),
    Case(name="dump: an output that cannot be opened is named with the reason", prog="chipdump",
         args=["no/such/dir", "800"], status=1, stdout=b"", log=[],
         stderr=b"Can't open no/such/dir: No such file or directory\n" + ERROR),
    # 2048 bytes fit in the stream's buffer: only the final close meets the full disk.
    full_disk("800", 1),
    full_disk("10000", 3),
    Case(name="dump: an append-only earlier dump, which cannot be replaced, is kept", prog="chipdump",
         args=[IN_FOLDER, "800"], chip=CHIP_DATA, setup=[in_folder(EARLIER), append_only(True)], status=1,
         stdout=DUMP_READY + progress(0), stderr=b"Can't write out/dump.bin: Operation not permitted\n" + ERROR,
         log=READER_OPEN + [PURGE, RESTART, READ, CLOSE], check=folder_holds({OUTPUT: EARLIER}, append_only(False)),
         not_on_windows="chattr is Linux's", skip_if=chattr_refused),
    *(failed_dump(how, earlier, more) for how, more in FAILED_DUMPS for earlier in (EARLIER, None)),
    dump("dump: the new dump keeps the earlier one's permission bits and owner", "800", 1, output=CHIP_DATA[:0x800],
         umask=0o077, setup=[given_to_nobody], check=mode_and_owner(0o604, 65534), not_on_windows="no permission bits"),
    dump("dump: a new output gets what the umask leaves", "800", 1, output=CHIP_DATA[:0x800], output_before=None,
         umask=0o027, check=mode_and_owner(0o640, os.geteuid()), not_on_windows="no permission bits"),
    dump("dump: an output that is a symbolic link stays one, and its target takes the dump", "800", 1,
         output=CHIP_DATA[:0x800], output_before=None, check=link_kept,
         setup=[lambda work: os.mkdir(os.path.join(work, "kept")),
                lambda work: open(os.path.join(work, "kept/rom.bin"), "wb").write(EARLIER),
                lambda work: os.symlink("kept/rom.bin", os.path.join(work, OUTPUT))]),
    dump("dump: a FIFO as the output is written as it is", "800", 1, args=[FIFO, "800"], output=EARLIER,
         setup=[fifo_reader], not_on_windows="no FIFOs",
         check=fifo_got),
    # The pipe takes two blocks, and the C library's buffer two more: then the write waits.
    Case(name="dump: Ctrl+C while a FIFO output has stalled stops the dump", prog="chipdump", args=[FIFO, "20000"],
         chip=CHIP_DATA, setup=[stalled_fifo], status=1, stderr=ERROR, stdout=progress_after(DUMP_READY, 20),
         interrupt=(lambda work: os.path.exists(os.path.join(work, "calls.log")), signal.SIGINT),
         check=lambda r: os.close(FIFO_READ.pop(r["work"])), not_on_windows="no FIFOs"),
    # ln -s rom.bin out/dump.bin: the link is read from out/, where it is.
    dump("dump: a relative link in another folder is followed from its own folder, not the current one", "800", 1,
         args=[IN_FOLDER, "800"], output_before=None,
         setup=[in_folder(None), lambda work: os.symlink("rom.bin", os.path.join(work, IN_FOLDER))],
         check=lambda r: (folder_holds({OUTPUT: CHIP_DATA[:0x800], "rom.bin": CHIP_DATA[:0x800]})(r)
                          or link_beside_kept(r)),
         not_on_windows="Wine sees a link to nothing as no file: the dump takes the link's own place"),
    dump("dump: an output named in 250 characters is dumped, and nothing else left beside it", "800", 1,
         args=[LONG_NAME, "800"], output_before=None, setup=[in_folder(None)],
         check=folder_holds({os.path.basename(LONG_NAME): CHIP_DATA[:0x800]})),
    # mkfifo f; chipdump f 800k: opening a FIFO waits for its reader.
    Case(name="dump: a bad size with a FIFO as the output is refused at once", prog="chipdump", args=[FIFO, "800k"],
         setup=[lambda work: os.mkfifo(os.path.join(work, FIFO))], status=1, stdout=b"", log=[], output=None,
         stderr=b"Can't take \"800k\" as the size: give a hexadecimal number below 100000000.\n" + ERROR,
         not_on_windows="no FIFOs"),
    # The dump can be neither put beside it nor emptied into it: adding it to
    # the earlier bytes would leave a file that is neither dump.
    Case(name="dump: an append-only earlier dump in a folder that takes no new file is refused, and kept",
         prog="chipdump", args=[IN_FOLDER, "800"], chip=CHIP_DATA,
         setup=[in_folder(EARLIER), append_only(True), immutable(True)],
         # Refused before the prompt, or once the dump would start.
         status=1, stdout=re.compile(b"(?:" + re.escape(DUMP_READY) + rb"(?:[ 0-9a-f]{4}\r)?)?"),
         stderr=b"Can't write out/dump.bin: Operation not permitted\n" + ERROR,
         check=folder_holds({OUTPUT: EARLIER}, undo_both), not_on_windows="chattr is Linux's",
         skip_if=lambda: chattr_refused() or chattr_i_refused()),
    # A power cut cannot be simulated: the order of the calls shows what it would leave.
    # A sanitized build's leak check cannot run under a tracer; the other cases make it.
    dump("dump: the new dump is synced to the disk before it takes the output's name", "800", 1,
         output=CHIP_DATA[:0x800], check=synced_then_renamed, env={"ASAN_OPTIONS": "detect_leaks=0"},
         wrapper=["strace", "-f", "-y", "-o", "trace.txt", "-e", "trace=fsync,fdatasync,rename,renameat,renameat2"],
         not_on_windows="strace is Linux's",
         skip_if=lambda: strace_refused() if shutil.which("strace") else "no strace"),
    # As root every folder takes new files.
    dump("dump: an earlier dump in a folder the user may not add to is written where it is", "800", 1,
         args=[IN_FOLDER, "800"], output_before=None,
         setup=[in_folder(EARLIER), lambda work: os.chmod(os.path.join(work, FOLDER), 0o555)],
         check=folder_holds({OUTPUT: CHIP_DATA[:0x800]}, lambda work: os.chmod(os.path.join(work, FOLDER), 0o755)),
         skip_if=lambda: "root may add to any folder" if os.geteuid() == 0 else None),
    *(Case(name=f"dump: started without {streams}, no message lands in the dump", prog="chipdump",
           args=[OUTPUT, "800"], closed=closed, env={"SIMBOARD_ABSENT": "1"}, output_before=EARLIER, status=1,
           stdout=b"", log=['FT_OpenEx "Zerbanit" 2 -> 2'], output=EARLIER, **elsewhere)
      for streams, closed, elsewhere in (
          ("standard error", [2], {}),
          # Under Wine the closed numbers go to Wine's own connection to its
          # server; under umockdev's preload the first file opened brings the
          # preload's socket, which takes the second one.
          ("standard output and error", [1, 2],
           dict(not_on_windows="Wine puts its own files there", not_over_usb="the USB testbed puts its own there")))),
]
