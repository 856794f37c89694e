#!/usr/bin/env bash
# The main job on the simulated board: burn a sample image into an erased
# chip, dump it back, and verify that the chip holds the image.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh demo
cmake --preset sim >/dev/null
cmake --build --preset sim -j "$(nproc)" --target chipburn chipdump chipverify -- --no-print-directory | grep -v -E '^\[ *[0-9]+%\]' || true

demo=build/demo
rm -rf "$demo" && mkdir -p "$demo"
export SIMBOARD_CHIP=$PWD/$demo/chip.bin SIMBOARD_LOG=$PWD/$demo/calls.log
# A sample image that is not a whole number of 2048-byte blocks.
python3 -c 'import random, sys; sys.stdout.buffer.write(random.Random(2026).randbytes(10000))' > "$demo/sample.bin"

echo "--- chipburn $demo/sample.bin (Return answers each prompt)"
printf '\n\n' | build/sim/chipburn/chipburn "$demo/sample.bin"
echo
echo "--- chipdump $demo/dump.bin 2710"
printf '\n' | build/sim/chipdump/chipdump "$demo/dump.bin" 2710
echo
echo "--- driver calls the board saw"
cat "$SIMBOARD_LOG"
echo "--- first bytes of the chip"
od -A x -t x1 -N 32 "$SIMBOARD_CHIP"
echo "--- chipverify $demo/sample.bin"
status=0
verdict=$(printf '\n' | build/sim/chipverify/chipverify "$demo/sample.bin") || status=$?
printf '%s\n' "$verdict"
if [ "$status" -ne 0 ] || [ "$(tail -n 1 <<<"$verdict")" != "The chip holds $demo/sample.bin: 10000 bytes." ]; then
  echo "The chip does not hold the image (chipverify status $status)." >&2
  exit 1
fi
