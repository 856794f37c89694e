import fcntl
import os
import re
import shutil
import signal
import subprocess
import threading

from common import *
from harness import Case, HELPERS, IMAGE, NOBODY, OUTPUT, give_to_user, read

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


# What a dump that did not reach its output leaves: the output's name and a
# mark, in plain sight.
LEFTOVER = re.compile(r"dump\.bin\.chipdump-[0-9a-z]{6}")


def folder_holds(files, then=None):
    """out/ holds these files ({name: bytes, or LEFTOVER: bytes or None for
    any}) and nothing else; then `then` is given the work folder, whatever
    was found."""
    def check(result):
        folder = os.path.join(result["work"], FOLDER)
        try:
            names = sorted(os.listdir(folder))
            found = {LEFTOVER if LEFTOVER.fullmatch(name) and LEFTOVER in files else name:
                     read(os.path.join(folder, name)) for name in names}
        finally:
            if then:
                then(result["work"])
        if files.get(LEFTOVER, 0) is None and LEFTOVER in found:
            found[LEFTOVER] = None
        if found == files and len(names) == len(files):
            return None
        return f"out/ holds {names}" + ("" if set(found) != set(files) else ", not the bytes it should")
    return check


def append_only(on):
    """chattr +a: the file takes appended bytes, and can be neither emptied nor replaced."""
    def change(work):
        subprocess.run(["chattr", "+a" if on else "-a", os.path.join(work, IN_FOLDER)], check=True)
    return change


chattr_refused = refused(lambda folder: ["sh", "-c", f"touch {folder}/f && chattr +a {folder}/f"],
                         lambda folder: ["chattr", "-a", f"{folder}/f"])


def small_disk(work):
    """out/ a disk that fills up at 64 KiB."""
    os.makedirs(os.path.join(work, FOLDER))
    subprocess.run(SMALL_DISK + [os.path.join(work, FOLDER)], check=True)


def unmount(work, name=FOLDER):
    subprocess.run(["umount", os.path.join(work, name)], check=True)


def progress_after(shown, most):
    """What was shown, then at most `most` more progress lines."""
    return re.compile(re.escape(shown) + rb"(?:[ 0-9a-f]{4,8}\r){0,%d}" % most)


def stopped_by(number):
    """The signal comes while the third block is read: the dump stops after
    the block under way, or perhaps a few more, never at its end."""
    shown = DUMP_READY + progress(0, 0x800, 0x1000)
    return dict(env={"SIMBOARD_REALTIME": "1"}, interrupt=(shown, number), stderr=ERROR,
                stdout=progress_after(shown, 60), not_on_windows=not_raised_under_wine(number))


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
    ("Ctrl+\\ during sampling stops it", stopped_by(signal.SIGQUIT)),
    # ulimit -f: the dump reaches the limit halfway.
    ("a file size limit", dict(
        file_limit=0x10000, stdout=progress_after(DUMP_READY, 64),
        stderr=b"Can't write out/dump.bin: File too large\n" + ERROR, not_on_windows="Windows has no file size limit")),
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


def mode_and_owner(mode, owner, group=None, name=OUTPUT):
    """The file's mode, and its owner and group where the suite could have
    given them (as root)."""
    def check(result):
        status = os.stat(os.path.join(result["work"], name))
        got = (oct(status.st_mode & 0o777), status.st_uid, status.st_gid)
        want = (oct(mode), owner, status.st_gid if group is None else group)
        return None if got == want else f"{name}: mode, owner and group {got}, want {want}"
    return check


def all_of(*checks):
    def check(result):
        return next((problem for problem in (c(result) for c in checks) if problem), None)
    return check


def no_setfacl():
    return None if shutil.which("setfacl") else "setfacl is not installed (the acl package)"


def acl_of(path):
    return subprocess.run(["getfacl", "--omit-header", "--numeric", path], capture_output=True, text=True).stdout


# The ACL of an earlier dump that its owner shares with nobody: the group
# may only read it, and nobody may write it.
SHARED_ACL = "user::rw-\nuser:65534:rw-\ngroup::r--\nmask::rw-\nother::---\n\n"


def shared_with_nobody(work):
    """An earlier dump of mode 0640, owned by nobody where the suite may
    give it, with an ACL and an extended attribute."""
    path = os.path.join(work, OUTPUT)
    os.chmod(path, 0o640)
    give_to_user(path)
    subprocess.run(["setfacl", "-m", "u:65534:rw", path], check=True)
    os.setxattr(path, "user.origin", b"lot4")


def shared_acl_kept(result):
    path = os.path.join(result["work"], OUTPUT)
    got = (acl_of(path), os.getxattr(path, "user.origin") if "user.origin" in os.listxattr(path) else None)
    return None if got == (SHARED_ACL, b"lot4") else f"ACL and user.origin {got}, want {(SHARED_ACL, b'lot4')}"


as_root = lambda why: lambda: None if os.geteuid() == 0 else f"only root can {why}"
SHARED_GROUP = 100  # a group nobody and daemon (uid 1) are both in, for the case


def members_file(work):
    """out/ is nobody's; dump.bin in it is daemon's, 0660, in the group
    nobody shares with daemon."""
    give_to_user(os.path.join(work, FOLDER))
    os.chown(os.path.join(work, IN_FOLDER), 1, SHARED_GROUP)
    os.chmod(os.path.join(work, IN_FOLDER), 0o660)


PROTECTED = "/proc/sys/fs/protected_regular"
PROTECTED_BEFORE = {}


def in_sticky(owner):
    """out/ is a sticky folder anyone may add to, like /tmp; dump.bin is
    `owner`'s and anyone may write it. Linux refuses to create over another
    user's file there (protected_regular), as most desktops have it: it is
    turned on for the case where it can be."""
    def setup(work):
        os.chmod(os.path.join(work, FOLDER), 0o1777)
        os.chmod(os.path.join(work, IN_FOLDER), 0o666)
        os.chown(os.path.join(work, IN_FOLDER), owner, owner)
        if os.access(PROTECTED, os.W_OK):
            PROTECTED_BEFORE[work] = read(PROTECTED)
            with open(PROTECTED, "wb") as f:
                f.write(b"1")
    return setup


def unprotect(work):
    if work in PROTECTED_BEFORE:
        with open(PROTECTED, "wb") as f:
            f.write(PROTECTED_BEFORE.pop(work))


BOUND = "bound.bin"  # the file mounted over out/dump.bin


def bind_mounted(work):
    with open(os.path.join(work, BOUND), "wb") as f:
        f.write(EARLIER)
    subprocess.run(["mount", "--bind", os.path.join(work, BOUND), os.path.join(work, IN_FOLDER)], check=True)


def default_acl(work):
    os.makedirs(os.path.join(work, FOLDER))
    subprocess.run(["setfacl", "-d", "-m", "u:65534:rw", os.path.join(work, FOLDER)], check=True)


def as_touched(result):
    """A new dump gets what a file made by touch gets in the same folder."""
    dumped, touched = (os.path.join(result["work"], FOLDER, name) for name in (OUTPUT, "touched"))
    subprocess.run(["touch", touched], check=True)
    got, want = ((os.stat(path).st_mode, acl_of(path)) for path in (dumped, touched))
    return None if got == want else f"the dump has mode and ACL {got}, a touched file {want}"


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


HOLDERS = {}  # work folder: the holder of out/dump.bin and the first line it said


def hold(sharing):
    """Another program (tests/windows/hold.cpp) holds out/dump.bin open,
    sharing it for reading, and with "write" for writing, never for deleting."""
    def take(work):
        holder = subprocess.Popen(HELPERS["hold"] + [IN_FOLDER, sharing], cwd=work, stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        HOLDERS[work] = (holder, holder.stdout.readline())
    return take


def let_go(check):
    """The holder lets go of the file, then `check` is made."""
    def checked(result):
        holder, said = HOLDERS.pop(result["work"], (None, b"nothing: it never started"))
        if holder:
            holder.stdin.close()
            holder.wait(10)
        return check(result) if said == b"holding\r\n" else f"the holder never held out/dump.bin: it said {said!r}"
    return checked


def dumping(work):
    """The new dump is being written beside the output."""
    return len(os.listdir(os.path.join(work, FOLDER))) > 1


def held_output(how, size_text, **more):
    # Named as on Windows: Wine's ReplaceFileW makes the file it moves the
    # earlier one aside to only in a folder named with backslashes.
    return Case(name=f"dump: {how}", prog="chipdump", args=[FOLDER + "\\" + OUTPUT, size_text], chip=CHIP_DATA,
                windows_only="only Windows keeps a file from being replaced while it is open",
                skip_if=lambda: None if "hold" in HELPERS else "no holder was given (--hold)", **more)


def full_disk(size_text, reads):
    return dump(f"dump: a full disk is never reported as done (size {size_text})", size_text, reads,
                args=["/dev/full", size_text], output=EARLIER, status=1,
                stderr=b"Can't write /dev/full: No space left on device\n" + ERROR)


CASES = [
    dump("dump: the prompt is on screen before the wait and takes one character; nothing sampled before it; "
         "the second sample of each address replaces an earlier dump; later arguments ignored",
         "1801", 4, args=[OUTPUT, "1801", "extra"], output=CHIP_DATA[:0x1801],
         dialogue=[(DUMP_READY, READER_OPEN, b"x")]),
    round_trip("round trip: 64 KiB", data(65536, seed=22), "10000", 32),
    round_trip("round trip: 5000 bytes at their own size", data(5000, seed=24), "1388", 3),
    dump("dump: a dump named in Greek is written on a Western code page", "800", 1, args=[GREEK, "800"],
         env={"LC_ALL": "C.UTF-8"}, output=EARLIER,
         check=lambda r: None if read(os.path.join(r["work"], GREEK)) == CHIP_DATA[:0x800] else f"{GREEK} is wrong"),
    Case(name="dump: one argument does nothing", prog="chipdump", args=[OUTPUT], status=1, stdout=b"", stderr=b"",
         log=[], output=None),
    # A size of 0 would replace a good dump with an empty file.
    *(Case(name=f"dump: size {text} is refused before anything is touched, an earlier dump kept", prog="chipdump",
           args=[OUTPUT, text], output_before=EARLIER, status=1, stdout=b"", log=[], output=EARLIER,
           stderr=b"Can't take \"%s\" as the size: give a hexadecimal number from 1 to FFFFFFFF.\n" % text.encode()
           + ERROR) for text in ("800k", "0")),
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
    # Neither renamed over nor emptied: the whole dump stays beside it, named.
    Case(name="dump: an append-only earlier dump, which can be neither replaced nor written over, is kept, "
              "and the whole dump is left beside it", prog="chipdump",
         args=[IN_FOLDER, "800"], chip=CHIP_DATA, setup=[in_folder(EARLIER), append_only(True)], status=1,
         stdout=DUMP_READY + progress(0), log=READER_OPEN + [PURGE, RESTART, READ, CLOSE],
         stderr=re.compile(rb"Can't write out/dump\.bin: Operation not permitted\n"
                           rb"The whole dump is in out/dump\.bin\.chipdump-[0-9a-z]{6}\.\n" + ERROR),
         check=folder_holds({OUTPUT: EARLIER, LEFTOVER: CHIP_DATA[:0x800]}, append_only(False)),
         not_on_windows="chattr is Linux's", skip_if=chattr_refused),
    *(failed_dump(how, earlier, more) for how, more in FAILED_DUMPS for earlier in (EARLIER, None)),
    # The group may not gain write access through the old mask, nor the named user lose it.
    dump("dump: the new dump keeps the earlier one's permission bits, owner, ACL and extended attributes", "800", 1,
         output=CHIP_DATA[:0x800], umask=0o077, setup=[shared_with_nobody], skip_if=no_setfacl,
         check=all_of(mode_and_owner(0o660, NOBODY if os.geteuid() == 0 else os.geteuid()), shared_acl_kept),
         not_on_windows="no permission bits"),
    dump("dump: a new output gets what the umask leaves", "800", 1, output=CHIP_DATA[:0x800], output_before=None,
         umask=0o027, check=mode_and_owner(0o640, os.geteuid()), not_on_windows="no permission bits"),
    dump("dump: a new output in a folder with a default ACL gets what a file made by touch gets there", "800", 1,
         args=[IN_FOLDER, "800"], output_before=None, umask=0o077, setup=[default_acl], skip_if=no_setfacl,
         check=all_of(folder_holds({OUTPUT: CHIP_DATA[:0x800]}), as_touched), not_on_windows="no permission bits"),
    # Another member's file would become nobody's, and its owner lose it.
    dump("dump: another member's 0660 file in the user's folder keeps its owner, written where it is", "800", 1,
         args=[IN_FOLDER, "800"], output_before=None, ordinary_user=(SHARED_GROUP,),
         setup=[in_folder(EARLIER), members_file],
         check=all_of(folder_holds({OUTPUT: CHIP_DATA[:0x800]}), mode_and_owner(0o660, 1, SHARED_GROUP, IN_FOLDER)),
         not_on_windows="no owners"),
    # The rename is refused (EPERM): the file itself may still be written.
    *(dump(f"dump: {whose} file in a sticky folder, dumped by an ordinary user, is written where it is", "800", 1,
           args=[IN_FOLDER, "800"], output_before=None, ordinary_user=True, skip_if=as_root("give the file away"),
           setup=[in_folder(EARLIER), in_sticky(owner)],
           check=all_of(folder_holds({OUTPUT: CHIP_DATA[:0x800]}, unprotect),
                        mode_and_owner(0o666, owner, owner, IN_FOLDER)),
           not_on_windows="no sticky folders")
      for whose, owner in (("root's", 0), ("another user's", 1))),
    # The rename is refused (EBUSY): the file mounted there takes the dump.
    dump("dump: a bind-mounted output is written where it is", "800", 1, args=[IN_FOLDER, "800"],
         output_before=None, setup=[in_folder(EARLIER), bind_mounted], skip_if=mount_refused,
         check=all_of(folder_holds({OUTPUT: CHIP_DATA[:0x800]}, lambda work: unmount(work, IN_FOLDER)),
                      lambda r: None if read(os.path.join(r["work"], BOUND)) == CHIP_DATA[:0x800] else
                      "the mounted file does not hold the dump"),
         not_on_windows="no bind mounts"),
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
    # The new file's name, the output's with the mark and six letters, stays within 255 bytes.
    dump("dump: an output named in 250 characters is dumped, and nothing else left beside it", "800", 1,
         args=[LONG_NAME, "800"], output_before=None, setup=[in_folder(None)],
         check=folder_holds({os.path.basename(LONG_NAME): CHIP_DATA[:0x800]})),
    # mkfifo f; chipdump f 800k: opening a FIFO waits for its reader.
    Case(name="dump: a bad size with a FIFO as the output is refused at once", prog="chipdump", args=[FIFO, "800k"],
         setup=[lambda work: os.mkfifo(os.path.join(work, FIFO))], status=1, stdout=b"", log=[], output=None,
         stderr=b"Can't take \"800k\" as the size: give a hexadecimal number from 1 to FFFFFFFF.\n" + ERROR,
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
    # As root every folder takes new files: the case runs as an ordinary user.
    dump("dump: an earlier dump in a folder the user may not add to is written where it is", "800", 1,
         args=[IN_FOLDER, "800"], output_before=None, ordinary_user=True,
         setup=[in_folder(EARLIER), lambda work: give_to_user(os.path.join(work, IN_FOLDER)),
                lambda work: os.chmod(os.path.join(work, FOLDER), 0o555)],
         check=folder_holds({OUTPUT: CHIP_DATA[:0x800]}, lambda work: os.chmod(os.path.join(work, FOLDER), 0o755))),
    # Killed, it leaves only the new file, under the output's name and a mark.
    Case(name="dump: a dump killed while it samples leaves the earlier dump as it was and its own file in plain "
              "sight", prog="chipdump", args=[IN_FOLDER, "20000"], chip=CHIP_DATA, setup=[in_folder(EARLIER)],
         env={"SIMBOARD_REALTIME": "1"}, interrupt=(DUMP_READY + progress(0, 0x800, 0x1000), signal.SIGKILL),
         status=-signal.SIGKILL, stdout=progress_after(DUMP_READY + progress(0, 0x800, 0x1000), 60), stderr=b"",
         check=folder_holds({OUTPUT: EARLIER, LEFTOVER: None}),
         not_over_usb="SIGKILL ends the USB launcher, which cannot pass it on to the program"),
    # An editor or a viewer that has the earlier dump open: the new one goes
    # into it in place, as the file cannot be replaced.
    held_output("an earlier dump that another program holds open takes the dump in place, and nothing is left "
                "beside it", "1000", setup=[in_folder(EARLIER), hold("write")], status=0, stderr=b"",
                stdout=DUMP_READY + progress(0, 0x800), log=READER_OPEN + [PURGE, RESTART, READ, READ, CLOSE],
                check=let_go(folder_holds({OUTPUT: CHIP_DATA[:0x1000]}))),
    # A viewer opens the earlier dump while the chip is read, and lets no
    # one write it: the new dump stays beside it, and the user is told where.
    held_output("an earlier dump that another program holds against writing leaves the new dump beside it",
                "40000", setup=[in_folder(EARLIER)], env={"SIMBOARD_REALTIME": "1"},
                dialogue=[(DUMP_READY, None, b"\n"), (dumping, None, hold("read"))], status=1,
                stdout=DUMP_READY + progress(*range(0, 0x40000, 0x800)),
                stderr=re.compile(rb"Can't write out\\dump\.bin: it is in use by another program\n"
                                  rb"The whole dump is in out\\dump\.bin\.chipdump-[0-9a-z]{6}\.\n"
                                  rb"Error\.\n"),
                check=let_go(folder_holds({OUTPUT: EARLIER, LEFTOVER: CHIP_DATA * 4}))),
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
