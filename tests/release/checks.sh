#!/usr/bin/env bash
# What a user gets: each check exits non-zero and says why when it fails.
#   checks.sh sim-install BUILD_DIR       a simulated-board build installs nothing, and says what to build
#   checks.sh deb DEB                     the package's files, its udev rule and bash completion,
#                                         and a Depends that names libftdi1
#   checks.sh rpm RPM                     the same files, and libftdi1 required by its soname
#   checks.sh no-board DEB|RPM            the packaged programs, run with no board, say so
#   checks.sh zip ZIP                     the Windows zip's files, the texts with CRLF and
#                                         no word of Linux, macOS or their signals in the pages
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

sim_install() {
  if cmake --install "$1" --prefix "$scratch/prefix" >"$scratch/log" 2>&1; then
    echo "cmake --install $1 succeeded"; return 1
  fi
  grep -q "installs nothing" "$scratch/log" && grep -q libftdi "$scratch/log" || { cat "$scratch/log"; return 1; }
  [ -z "$(ls -A "$scratch/prefix" 2>/dev/null)" ] || { echo "installed:"; find "$scratch/prefix"; return 1; }
}

# unpack PACKAGE: its files under $scratch/root, as they would be installed
unpack() {
  mkdir -p "$scratch/root"
  case $1 in
    *.deb) dpkg-deb -x "$1" "$scratch/root" ;;
    *.rpm) rpm2cpio "$1" | (cd "$scratch/root" && cpio -idm --quiet) ;;
  esac
}

# installed_files LISTING: the files and links (not folders) of an ls-like
# listing whose last field is the path, or "path -> target" for a link
installed_files() {
  awk '$1 !~ /^d/ { if ($(NF-1) == "->") print $(NF-2); else print $NF }' | sed 's|^\./|/|' | sort
}

# The .deb and the .rpm carry the same files; the rule must admit the board
# alone, and the completion must work as installed.
same_contents() {
  local got=$1 package=$2 expected='/usr/bin/chipburn
/usr/bin/chipdump
/usr/bin/chipverify
/usr/lib/udev/rules.d/60-zerbanit.rules
/usr/share/bash-completion/completions/chipburn
/usr/share/bash-completion/completions/chipdump
/usr/share/bash-completion/completions/chipverify
/usr/share/doc/zerbanit/changelog.gz
/usr/share/doc/zerbanit/copyright
/usr/share/man/man1/chipburn.1.gz
/usr/share/man/man1/chipdump.1.gz
/usr/share/man/man1/chipverify.1.gz'
  [ "$got" = "$expected" ] || { printf 'files in %s:\n%s\nexpected:\n%s\n' "$package" "$got" "$expected"; return 1; }
  unpack "$package"
  # A rule that grants access (a tag such as uaccess, a mode, group or
  # owner) must also match the board's product string: without it the
  # user gets every FTDI adapter on the machine.
  local rule=$scratch/root/usr/lib/udev/rules.d/60-zerbanit.rules loose
  loose=$(grep -v -E '^[[:space:]]*(#|$)' "$rule" | grep -E '(TAG|MODE|GROUP|OWNER)\+?=' |
          grep -v -F 'ATTR{product}=="Zerbanit"' || true)
  [ -z "$loose" ] || { printf 'rules that let in more than the board:\n%s\n' "$loose"; return 1; }
  grep -q -F 'TAG+="uaccess"' "$rule" || { echo "the rule gives no access"; return 1; }
  # The cases that pass are this check's detail: its failures and its tally show.
  bash "$here/../completion/completion.sh" "$scratch/root/usr/share/bash-completion/completions" |
    grep -v '^ok '
}

deb() {
  same_contents "$(dpkg-deb -c "$1" | installed_files)" "$1" || return 1
  [[ $(dpkg-deb -f "$1" Depends) == *libftdi1-2* ]] || { echo "Depends: $(dpkg-deb -f "$1" Depends)"; return 1; }
}

# Distributions name libftdi1's package differently (libftdi1, libftdi1-2);
# every one's provides the library's soname.
rpm_package() {
  same_contents "$(rpm -qlvp "$1" | installed_files)" "$1" || return 1
  local ftdi
  ftdi=$(rpm -qp --requires "$1" | grep -i ftdi || true)
  [ "$ftdi" = "libftdi1.so.2()(64bit)" ] || { echo "requires: $(rpm -qp --requires "$1" | tr '\n' ' ')"; return 1; }
}

# CI machines have no USB bus; libusb starts all the same and finds no board.
no_board() {
  unpack "$1"
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
  rpm) rpm_package "$2" ;;
  no-board) no_board "$2" ;;
  zip) zip "$2" ;;
  *) echo "usage: $0 sim-install|deb|rpm|no-board|zip ARG" >&2; exit 2 ;;
esac
