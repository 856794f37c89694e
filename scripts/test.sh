#!/usr/bin/env bash
# Builds every configuration and runs every test. On a fresh Debian 12
# machine, run as root: it installs what it needs with apt-get. Run as root,
# it also runs the sim and libftdi builds' suites again as the user nobody.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test

# Everything the run makes in a temporary folder (the compilers', Wine's
# server folder, umockdev's testbeds, the harness's work folders) goes in
# one folder of its own, removed at the end. It stays under /tmp: umockdev
# and Wine put sockets in it, and a socket's path is at most 107 bytes.
run_tmp=$(mktemp -d -t zerbanit-test.XXXXXX)
# Cases that run a program as nobody reach it and their work folders here.
chmod 755 "$run_tmp"
export TMPDIR=$run_tmp
trap 'rm -rf "$run_tmp"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

jobs=$(nproc)
summary=()
passed=0
failed=0
skipped=0

# At a terminal each build shows its progress; in a log only its warnings
# and errors.
build() {
  if [ -t 1 ]; then
    "$@" -- --no-print-directory
    return
  fi
  local log=$TMPDIR/build.log status=0
  "$@" -- --no-print-directory >"$log" 2>&1 || status=$?
  grep -v -E '^\[ *[0-9]+%\]' "$log" || true
  return "$status"
}

# The cases of one ctest run, from its log: an end-to-end, completion or
# GoogleTest case counts one; a test without cases of its own (a fixture,
# the import check) counts one; a test that fails outside its cases (a crash
# after them, a timeout) or never ran counts one failure more.
# Prints "passed failed skipped".
count_cases() {
  local log=$1 tests=$2
  awk -v tests="$tests" '
    function close_test() {
      if (!open) return
      if (ok + bad + skip == 0) { if (pass) p++; else f++ }
      else { p += ok; f += bad + (!pass && bad == 0); s += skip }
      open = 0; seen++
    }
    /^[0-9]+\/[0-9]+ Testing: / { close_test(); open = 1; ok = bad = skip = pass = 0; next }
    /^ok   / || /^\[       OK \] / { ok++ }
    /^FAIL / || /^\[  FAILED  \] .*\([0-9]+ ms\)$/ { bad++ }
    /^skip / || /^\[  SKIPPED \] .*\([0-9]+ ms\)$/ { skip++ }
    /^Test Passed\.$/ { pass = 1 }
    END { close_test(); if (tests > seen) f += tests - seen; print p + 0, f + 0, s + 0 }
  ' "$log" 2>/dev/null || echo "0 1 0"
}

# run_preset [--as USER DIR] PRESET [CONFIGURE ARGS]: configure, build and
# test one preset, in this checkout, or as USER in the copy DIR
run_preset() {
  local as=() dir=. label=$1
  if [ "$1" = --as ]; then
    as=(setpriv --reuid="$2" --regid="$(id -gn "$2")" --clear-groups env HOME="$3" TMPDIR="$3/tmp")
    dir=$3
    label="$4 as $2"
    shift 3
  fi
  local preset=$1
  shift
  echo "=== $label"
  # A build that fails counts as a failure of its own, never as stale programs tested.
  if ! (cd "$dir" && "${as[@]}" cmake --preset "$preset" "$@" >/dev/null &&
        build "${as[@]}" cmake --build --preset "$preset" -j "$jobs"); then
    failed=$((failed + 1))
    summary+=("$label: BUILD FAILED")
    return
  fi
  local ctest_log=$TMPDIR/ctest.log
  # ctest's own tally counts tests, not cases: the build's line in the
  # summary says what it ran.
  (cd "$dir" && "${as[@]}" ctest --preset "$preset" -j "$jobs") | tee "$ctest_log" |
    grep -v -E '^[0-9]+% tests passed|^Total Test time' || true
  local tests p f s
  tests=$(sed -n -E 's/.*tests failed out of ([0-9]+).*/\1/p' "$ctest_log")
  local log=$dir/build/$preset/Testing/Temporary/LastTest.log
  read -r p f s < <(count_cases "$log" "${tests:-1}")
  if [ "$dir" != . ]; then
    # The copy goes at the end; its log stays, beside the checkout's own.
    mkdir -p build/nobody
    cp "$log" "build/nobody/$preset-LastTest.log" 2>/dev/null || true
  fi
  passed=$((passed + p))
  failed=$((failed + f))
  skipped=$((skipped + s))
  summary+=("$label: $p cases ok, $f failed, $s skipped")
}

# one named check counts as one case
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

# The suites of the sim and libftdi builds once more as the user nobody,
# as most users run the programs: what only root may do is skipped there,
# with its reason, and nothing may rely on root. The user builds a copy of
# the checkout of its own, since the checkout may sit in a folder only root
# can enter. Run by an ordinary user, the whole run is already that.
as_ordinary_user() {
  if [ "$(id -u)" -ne 0 ]; then
    summary+=("as an ordinary user: this whole run")
    return
  fi
  local copy=$run_tmp/nobody
  mkdir -p "$copy/tmp"
  tar -c --exclude=./build --exclude=./dist --exclude=./.git . | tar -x -C "$copy"
  chown -R nobody: "$copy"
  run_preset --as nobody "$copy" sim
  run_preset --as nobody "$copy" libftdi -DE2E_TESTS=ON
}

run_preset sim -DCMAKE_REQUIRE_FIND_PACKAGE_GTest=ON
run_preset asan
run_check valgrind tests/valgrind.sh build/sim
run_check cppcheck scripts/analyze.sh
run_check fuzz tests/fuzz/run.sh
# The d2xx build links a library through the vendor's C ABI; the simulated
# board's shared form stands in for the vendor's own.
run_preset d2xx -DD2XX_LIBRARY="$PWD/build/sim/drivers/libsimftd2xx.so" -DE2E_TESTS=ON
# The real-board driver over libftdi1: the end-to-end cases through simusb,
# with the real libftdi1 and libusb on the simulated board seen over USB.
run_preset libftdi -DE2E_TESTS=ON
# The same, sanitized: the programs and the module under AddressSanitizer
# and UndefinedBehaviorSanitizer over the simulated USB board.
run_preset libftdi-asan
as_ordinary_user
# 32-bit Windows programs, cross-built; the cases run under Wine against
# the simulated board built as FTD2XX.dll. Some kernels run no 32-bit code
# at all (execve answers "Exec format error"), and there 32-bit Wine cannot
# start: the 32-bit programs are still built and their imports checked, and
# the cases run on the same source built for 64-bit Windows, under 64-bit Wine.
windows_start=$SECONDS
if /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then
  run_preset windows
else
  echo "this machine's kernel runs no 32-bit code: the cases under Wine run the 64-bit build"
  summary+=("windows: no 32-bit code runs here; the cases under Wine ran the 64-bit build")
  run_preset windows -DE2E_TESTS=OFF
  run_preset windows-x64
fi
summary+=("windows: $((SECONDS - windows_start)) s to build and test")

# The release a user installs: the manual pages, the packages, and the
# simulated board's build that must not install.
run_check man-lint mandoc -T lint -W warning man/chipburn.1 man/chipdump.1 man/chipverify.1
run_check sim-install-refused tests/release/checks.sh sim-install build/sim
package_start=$SECONDS
run_check package scripts/package.sh
# package.sh leaves exactly one of each in dist/.
deb=$(find dist -maxdepth 1 -name '*.deb')
rpm=$(find dist -maxdepth 1 -name '*.rpm')
zip=$(find dist -maxdepth 1 -name '*-win32.zip')
run_check deb-contents tests/release/checks.sh deb "$deb"
run_check deb-no-board tests/release/checks.sh no-board "$deb"
run_check rpm-contents tests/release/checks.sh rpm "$rpm"
run_check rpm-no-board tests/release/checks.sh no-board "$rpm"
run_check zip-contents tests/release/checks.sh zip "$zip"
run_check lintian lintian --fail-on error "$deb"
run_check rpmlint rpmlint -c tests/release/rpmlint.toml "$rpm"
summary+=("packages: $((SECONDS - package_start)) s to build and check")

echo "=== summary"
printf '%s\n' "${summary[@]}"
echo "skipped: cases for another build or front, or that need root; each reason is in"
echo "build/PRESET/Testing/Temporary/LastTest.log, and in build/nobody/PRESET-LastTest.log for nobody's"
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
