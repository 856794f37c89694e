#!/usr/bin/env bash
# The main job on the simulated board: burn a sample image into an erased
# chip, dump it back, and show that the two match.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh demo
cmake --preset sim >/dev/null
cmake --build --preset sim -j "$(nproc)" --target chipburn chipdump -- --no-print-directory | grep -v -E '^\[ *[0-9]+%\]' || true

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
if cmp "$demo/sample.bin" "$demo/dump.bin"; then
  echo "The dump matches the image: $(stat -c %s "$demo/dump.bin") bytes."
else
  echo "The dump differs from the image." >&2
  exit 1
fi
