#!/usr/bin/env bash
# Runs a few end-to-end cases under valgrind memcheck: whole runs of the
# programs and the paths that leave early. Any error or leak makes the
# program end with status 99, which fails its case.
#   tests/valgrind.sh [BUILD_DIR]     (default build/sim, built with the simulated board)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/sim}
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

memcheck="valgrind -q --error-exitcode=99 --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all"
memcheck+=" --log-file=$logs/%p.log"

cases=(
  "burn:burn: one whole block"
  "burn:burn: a directory as the image"
  "dump:round trip: 5000 bytes"
  "dump:dump: a full disk is never reported as done (size 10000)"
  "dump:dump: no board"
  "fault:a refused bit mode"
  "fault:a refused purge"
  "fault:a refused send stops the copy"
  "fault:a receive that moved 1000 bytes"
  "verify:verify: a burned image"
  "verify:verify: a refused receive"
  "verify:verify: an empty image is trouble, the board"
)
status=0
for entry in "${cases[@]}"; do
  python3 tests/e2e/harness.py --chipburn "$build/chipburn/chipburn" --chipdump "$build/chipdump/chipdump" \
    --chipverify "$build/chipverify/chipverify" --emulator "$memcheck" --filter "${entry#*:}" \
    "tests/e2e/${entry%%:*}_cases.py" | grep -v -E '^cases: ' || status=1
done
for report in "$logs"/*.log; do
  if [ -s "$report" ]; then
    cat "$report"
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "valgrind: ${#cases[@]} cases clean"
exit "$status"
