#!/usr/bin/env bash
# Builds every configuration and runs every test. On a fresh Debian 12
# machine, run as root: it installs what it needs with apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test

jobs=$(nproc)
summary=()
passed=0
failed=0

# configure, build and test one preset; extra arguments go to the configure step
run_preset() {
  local preset=$1
  shift
  echo "=== $preset"
  cmake --preset "$preset" "$@" >/dev/null
  local log
  log=$(mktemp)
  # A build that fails counts as a failure of its own, never as stale programs tested.
  if ! cmake --build --preset "$preset" -j "$jobs" -- --no-print-directory >"$log" 2>&1; then
    cat "$log"
    rm -f "$log"
    failed=$((failed + 1))
    summary+=("$preset: BUILD FAILED")
    return
  fi
  grep -v -E '^\[ *[0-9]+%\]' "$log" || true
  if ctest --preset "$preset" -j "$jobs" | tee "$log"; then :; fi
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of' "$log" || echo "0% tests passed, 1 tests failed out of 1")
  rm -f "$log"
  local total bad
  bad=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  summary+=("$preset: $line")
}

# one named check counts as one test
run_check() {
  local name=$1
  shift
  echo "=== $name"
  if "$@"; then
    passed=$((passed + 1))
    summary+=("$name: clean")
  else
    failed=$((failed + 1))
    summary+=("$name: FAILED")
  fi
}

run_preset sim
run_preset asan
run_check valgrind scripts/valgrind.sh build/sim
run_check cppcheck scripts/analyze.sh
# The d2xx build links a library through the vendor's C ABI; the simulated
# board's shared form stands in for the vendor's own.
run_preset d2xx -DD2XX_LIBRARY="$PWD/build/sim/drivers/libsimftd2xx.so" -DE2E_TESTS=ON
# The real-board driver over libftdi1: its logic against a fake libftdi, and
# both programs run for real with no board attached.
run_preset libftdi
# 32-bit Windows programs, cross-built; the cases run under Wine against
# the simulated board built as FTD2XX.dll.
windows_start=$SECONDS
run_preset windows
summary+=("windows: $((SECONDS - windows_start)) s to build and test")

# The release a user installs: the manual pages, the packages, and the
# simulated board's build that must not install.
run_check man-lint mandoc -T lint -W warning man/chipburn.1 man/chipdump.1

# The simulated board's build refuses to install, and says what to build.
sim_install_refused() {
  local prefix log
  prefix=$(mktemp -d)
  log=$(mktemp)
  local ok=1
  if cmake --install build/sim --prefix "$prefix" >"$log" 2>&1; then
    echo "cmake --install build/sim succeeded"
    ok=0
  fi
  grep -q "installs nothing" "$log" && grep -q libftdi "$log" || { cat "$log"; ok=0; }
  if [ -n "$(ls -A "$prefix")" ]; then
    echo "installed:"; find "$prefix" -mindepth 1
    ok=0
  fi
  rm -rf "$prefix" "$log"
  [ "$ok" -eq 1 ]
}
run_check sim-install-refused sim_install_refused

package_start=$SECONDS
run_check package scripts/package.sh
# package.sh leaves exactly one of each in dist/.
deb=$(find dist -maxdepth 1 -name '*.deb')
zip=$(find dist -maxdepth 1 -name '*-win32.zip')
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# What the .deb puts on a machine, and that its Depends came from the
# libraries the programs link.
deb_contents() {
  local expected=(
    ./usr/bin/chipburn
    ./usr/bin/chipdump
    ./usr/lib/udev/rules.d/60-zerbanit.rules
    ./usr/share/doc/zerbanit/changelog.gz
    ./usr/share/doc/zerbanit/copyright
    ./usr/share/man/man1/chipburn.1.gz
    ./usr/share/man/man1/chipdump.1.gz
  )
  local got
  got=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
  if [ "$got" != "$(printf '%s\n' "${expected[@]}")" ]; then
    printf 'files in %s:\n%s\nexpected:\n' "$deb" "$got"; printf '%s\n' "${expected[@]}"
    return 1
  fi
  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  [[ $depends == *libftdi1-2* ]] || { echo "Depends: $depends"; return 1; }
}
run_check deb-contents deb_contents

# A packaged program run with no board on the bus (CI machines have no USB
# bus; libusb starts all the same) must say the board is missing.
packaged_without_board() {
  local out=$scratch/stdout err=$scratch/stderr status=0
  (cd "$scratch" && "$@" </dev/null >"$out" 2>"$err") || status=$?
  if [ "$status" -ne 1 ] || [ -s "$out" ] ||
     ! printf "Can't initialize USB controller.\nError.\n" | cmp -s - "$err"; then
    echo "$*: status $status, stdout [$(cat "$out")], stderr [$(cat "$err")]"
    return 1
  fi
}
if dpkg-deb -x "$deb" "$scratch/root"; then
  printf '0123456789abcdef' >"$scratch/image.bin"
  run_check deb-chipburn-no-board packaged_without_board "$scratch/root/usr/bin/chipburn" image.bin
  run_check deb-chipdump-no-board packaged_without_board "$scratch/root/usr/bin/chipdump" dump.bin 100
else
  run_check deb-unpack false
fi

# The zip holds the two programs, the licence and the pages as text with
# Windows line ends; never a FTD2XX.dll, the vendor's or the simulated one.
zip_contents() {
  python3 - "$zip" <<'PY'
import os, sys, zipfile
# CPack puts everything in a folder named like the zip.
top = os.path.basename(sys.argv[1])[:-len(".zip")] + "/"
expected = sorted(top + n for n in
                  ["chipburn.exe", "chipdump.exe", "LICENSE.txt", "chipburn.txt", "chipdump.txt"])
with zipfile.ZipFile(sys.argv[1]) as z:
    names = sorted(n for n in z.namelist() if not n.endswith("/"))
    if names != expected:
        sys.exit(f"files in the zip: {names}\nexpected: {expected}")
    for name in names:
        if name.endswith(".txt"):
            text = z.read(name)
            if text.count(b"\n") != text.count(b"\r\n") or b"\b" in text:
                sys.exit(f"{name}: not plain text with CRLF line ends")
PY
}
run_check zip-contents zip_contents
run_check lintian lintian --fail-on error "$deb"
summary+=("packages: $((SECONDS - package_start)) s to build and check")

printf '%s\n' "${summary[@]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
