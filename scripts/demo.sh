#!/usr/bin/env bash
# The main job on the simulated board: burn a sample image into an erased
# chip, dump it back, and verify that the chip holds the image.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh demo
# The programs alone: the tests and their GoogleTest are scripts/test.sh's.
echo "--- building chipburn, chipdump and chipverify for the simulated board (build/sim)"
cmake --preset sim >/dev/null
build=(cmake --build --preset sim -j "$(nproc)" --target chipburn chipdump chipverify -- --no-print-directory)
# At a terminal the build shows its progress; in a log only its warnings.
if [ -t 1 ]; then
  "${build[@]}"
else
  "${build[@]}" | grep -v -E '^\[ *[0-9]+%\]' || true
fi

# At a keyboard the terminal echoes the operator's Return, and the progress
# line starts on the line below the prompt. Here Return comes down a pipe
# and nothing echoes it: this filter of the program's output puts a line end
# after each prompt, where the Return would have left one, and passes the
# rest through as it comes.
as_at_a_keyboard() {
  python3 -c '
import os
prompt_end, held = b"hit return key!", b""
while True:
    chunk = os.read(0, 4096)
    text = (held + chunk).replace(prompt_end, prompt_end + b"\n")
    # Hold back the first bytes of a prompt end split between two reads.
    keep = next((n for n in range(len(prompt_end) - 1, 0, -1) if chunk and text.endswith(prompt_end[:n])), 0)
    os.write(1, text[:len(text) - keep])
    held = text[len(text) - keep:]
    if not chunk:
        break
'
}

demo=build/demo
rm -rf "$demo" && mkdir -p "$demo"
export SIMBOARD_CHIP=$PWD/$demo/chip.bin SIMBOARD_LOG=$PWD/$demo/calls.log
# A sample image that is not a whole number of 2048-byte blocks.
python3 -c 'import random, sys; sys.stdout.buffer.write(random.Random(2026).randbytes(10000))' > "$demo/sample.bin"

echo "--- chipburn $demo/sample.bin (Return answers each prompt)"
printf '\n\n' | build/sim/chipburn/chipburn "$demo/sample.bin" | as_at_a_keyboard
echo "--- chipdump $demo/dump.bin 2710"
printf '\n' | build/sim/chipdump/chipdump "$demo/dump.bin" 2710 | as_at_a_keyboard
echo
echo "--- driver calls the board saw"
cat "$SIMBOARD_LOG"
echo "--- first bytes of the chip"
od -A x -t x1 -N 32 "$SIMBOARD_CHIP"
echo "--- chipverify $demo/sample.bin"
status=0
verdict=$(printf '\n' | build/sim/chipverify/chipverify "$demo/sample.bin" | as_at_a_keyboard) || status=$?
printf '%s\n' "$verdict"
if [ "$status" -ne 0 ] || [ "$(tail -n 1 <<<"$verdict")" != "The chip holds $demo/sample.bin: 10000 bytes." ]; then
  echo "The chip does not hold the image (chipverify status $status)." >&2
  exit 1
fi
