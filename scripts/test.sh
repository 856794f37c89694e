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
skipped=0

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
  local total bad skips
  bad=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  # The end-to-end cases a build leaves out, each logged by the harness
  # with its reason in ctest's log.
  skips=$(grep -c '^skip ' "build/$preset/Testing/Temporary/LastTest.log" 2>/dev/null || true)
  skips=${skips:-0}
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  skipped=$((skipped + skips))
  summary+=("$preset: $line; $skips cases skipped")
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
run_check valgrind tests/valgrind.sh build/sim
run_check unprivileged tests/unprivileged.sh build/sim
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

printf '%s\n' "${summary[@]}"
echo "skipped: end-to-end cases a build leaves out; each reason is in build/PRESET/Testing/Temporary/LastTest.log"
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
