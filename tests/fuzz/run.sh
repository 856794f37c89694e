#!/usr/bin/env bash
# Builds a fuzz target for each text reader with clang's libFuzzer, under
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs each for a fixed
# time from its seeds in corpus/. A crash, a sanitizer's report, a leak or a
# broken image fails it. The inputs it finds are kept in the build folder,
# not in the seeds.
#   run.sh [SECONDS]   each target's time, 20 by default
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-20}
out=build/fuzz
mkdir -p "$out"
readers=(formats/image.cpp formats/textimage.cpp formats/ihex.cpp formats/srec.cpp formats/detect.cpp)
status=0
for format in ihex srec; do
  clang++ -std=c++17 -g -O1 -Wall -Wextra -Wpedantic -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -Iformats -Itests/fuzz tests/fuzz/${format}_fuzz.cpp "${readers[@]}" -o "$out/${format}_fuzz"
  mkdir -p "$out/$format"
  start=$SECONDS
  if "$out/${format}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$out/$format-" "$out/$format" "tests/fuzz/corpus/$format" >"$out/$format.log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$format.log")
    echo "fuzz $format: $runs executions in $((SECONDS - start)) s, no report"
  else
    tail -n 40 "$out/$format.log"
    echo "fuzz $format: FAILED after $((SECONDS - start)) s; the input is in $out/$format-*"
    status=1
  fi
done
exit $status
