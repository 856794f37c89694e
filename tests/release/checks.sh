#!/usr/bin/env bash
# What a user gets: each check exits non-zero and says why when it fails.
#   checks.sh sim-install BUILD_DIR       a simulated-board build installs nothing, and says what to build
#   checks.sh deb DEB                     the package's files, and a Depends that names libftdi1
#   checks.sh no-board DEB                the packaged programs, run with no board, say so
#   checks.sh zip ZIP                     the Windows zip's files, the texts with CRLF and
#                                         no word of Linux, macOS or their signals in the pages
set -euo pipefail
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

sim_install() {
  if cmake --install "$1" --prefix "$scratch/prefix" >"$scratch/log" 2>&1; then
    echo "cmake --install $1 succeeded"; return 1
  fi
  grep -q "installs nothing" "$scratch/log" && grep -q libftdi "$scratch/log" || { cat "$scratch/log"; return 1; }
  [ -z "$(ls -A "$scratch/prefix" 2>/dev/null)" ] || { echo "installed:"; find "$scratch/prefix"; return 1; }
}

deb() {
  local got expected
  got=$(dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $6}' | sort)
  expected='./usr/bin/chipburn
./usr/bin/chipdump
./usr/bin/chipverify
./usr/lib/udev/rules.d/60-zerbanit.rules
./usr/share/doc/zerbanit/changelog.gz
./usr/share/doc/zerbanit/copyright
./usr/share/man/man1/chipburn.1.gz
./usr/share/man/man1/chipdump.1.gz
./usr/share/man/man1/chipverify.1.gz'
  [ "$got" = "$expected" ] || { printf 'files in %s:\n%s\nexpected:\n%s\n' "$1" "$got" "$expected"; return 1; }
  [[ $(dpkg-deb -f "$1" Depends) == *libftdi1-2* ]] || { echo "Depends: $(dpkg-deb -f "$1" Depends)"; return 1; }
}

# CI machines have no USB bus; libusb starts all the same and finds no board.
no_board() {
  dpkg-deb -x "$1" "$scratch/root"
  printf '0123456789abcdef' >"$scratch/image.bin"
  local status program want ok=0
  # chipverify's status is cmp's: 2 for trouble.
  for program in "chipburn image.bin:1" "chipdump dump.bin 100:1" "chipverify image.bin:2"; do
    want=${program##*:}
    program=${program%:*}
    status=0
    (cd "$scratch" && root/usr/bin/$program </dev/null >out 2>err) || status=$?
    if [ "$status" -ne "$want" ] || [ -s "$scratch/out" ] ||
       ! printf "Can't initialize USB controller.\nError.\n" | cmp -s - "$scratch/err"; then
      echo "$program: status $status, stdout [$(cat "$scratch/out")], stderr [$(cat "$scratch/err")]"
      ok=1
    fi
  done
  return "$ok"
}

zip() {
  python3 - "$1" <<'PY'
import os, sys, zipfile
top = os.path.basename(sys.argv[1])[:-len(".zip")] + "/"
expected = sorted(top + n for n in ["chipburn.exe", "chipdump.exe", "chipverify.exe", "LICENSE.txt",
                                              "chipburn.txt", "chipdump.txt", "chipverify.txt"])
with zipfile.ZipFile(sys.argv[1]) as z:
    names = sorted(n for n in z.namelist() if not n.endswith("/"))
    if names != expected:
        sys.exit(f"files in the zip: {names}\nexpected: {expected}")
    for name in (n for n in names if n.endswith(".txt")):
        text = z.read(name)
        if text.count(b"\n") != text.count(b"\r\n") or b"\b" in text:
            sys.exit(f"{name}: not plain text with CRLF line ends")
        # What a Windows user cannot do or meet: Unix systems, their signals,
        # the shell's process substitution, device files, a status of 128 +
        # a signal's number, the break of a stalled pipe.
        unix = [w for w in (b"Linux", b"macOS", b"udev", b"SIG", b"nohup", b"<(", b">(", b"/dev/", b"status 130",
                            b"stalled") if w in text]
        if name != top + "LICENSE.txt" and unix:
            sys.exit(f"{name}: a Windows page that tells of {unix}")
PY
}

case "$1" in
  sim-install) sim_install "$2" ;;
  deb) deb "$2" ;;
  no-board) no_board "$2" ;;
  zip) zip "$2" ;;
  *) echo "usage: $0 sim-install|deb|no-board|zip ARG" >&2; exit 2 ;;
esac
