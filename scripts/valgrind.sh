#!/usr/bin/env bash
# Runs a few end-to-end cases under valgrind memcheck: whole runs of both
# programs and the paths that leave early. Any error or leak makes the
# program end with status 99, which fails its case.
#   scripts/valgrind.sh [BUILD_DIR]     (default build/sim, built with the simulated board)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/sim}
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

memcheck="valgrind -q --error-exitcode=99 --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all"
memcheck+=" --log-file=$logs/%p.log"

cases=(
  "burn:burn: 5000 bytes send three blocks"
  "burn:burn: a read error on the image stops the copy"
  "dump:dump: size 900 writes 2304 bytes"
  "fault:fault: chipburn FT_Write refused at use 1"
  "fault:fault: chipdump FT_SetBitMode refused"
  "fault:fault: chipdump FT_Read moves 1000 bytes"
  "badinput:bad input: chipdump refuses a directory as the output"
  "roundtrip:round trip: a part block at its own size"
)
status=0
for entry in "${cases[@]}"; do
  python3 tests/e2e/harness.py --chipburn "$build/chipburn/chipburn" --chipdump "$build/chipdump/chipdump" \
    --emulator "$memcheck" --filter "${entry#*:}" "tests/e2e/${entry%%:*}_cases.py" | grep -v -E '^[0-9]+ passed' ||
    status=1
done
for report in "$logs"/*.log; do
  if [ -s "$report" ]; then
    cat "$report"
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "valgrind: ${#cases[@]} cases clean"
exit "$status"
